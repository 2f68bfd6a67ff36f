// Open MPI's blocking receive and barrier spin at full speed. On a node where
// every core runs a worker, a spinning master (or a spinning worker waiting
// through the master's baseline) takes CPU from the processes being measured,
// so every wait here starts the non-blocking form of the call and then
// sleeps between short looks at it. The order and meaning of every call is
// that of its blocking form: the same messages, counts, tags and barriers.
#include "mpi_wait.h"

#include "processors64_mpi_mac0.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// A wait looks at its request at once, then sleeps between looks, each sleep
// twice the last up to a millisecond: a message that is already there costs
// no sleep, and a long wait (a whole timed loop) costs about a thousand
// short wake-ups a second, a percent or two of a core.
constexpr std::chrono::microseconds FIRST_POLL_INTERVAL(50);
constexpr std::chrono::microseconds LONGEST_POLL_INTERVAL(1000);

void wait_for(MPI_Request* request, MPI_Status* request_status) {
    int done = 0;
    MPI_Test(request, &done, request_status);
    for (auto interval = FIRST_POLL_INTERVAL; !done;) {
        std::this_thread::sleep_for(interval);
        interval = std::min(2 * interval, LONGEST_POLL_INTERVAL);
        MPI_Test(request, &done, request_status);
    }
}

} // namespace

void wait_barrier() {
    MPI_Request request;
    MPI_Ibarrier(MPI_COMM_WORLD, &request);
    wait_for(&request, MPI_STATUS_IGNORE);
}

void receive_from(int source, void* buffer, int count, MPI_Datatype type) {
    MPI_Request request;
    MPI_Irecv(buffer, count, type, source, tag, MPI_COMM_WORLD, &request);
    wait_for(&request, &status);
}

void send_to_master(const void* buffer, int count, MPI_Datatype type) {
    MPI_Request request;
    MPI_Isend(buffer, count, type, 0, tag, MPI_COMM_WORLD, &request);
    wait_for(&request, MPI_STATUS_IGNORE);
}
