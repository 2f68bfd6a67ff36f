// Open MPI's blocking receive and barrier spin at full speed. On a node where
// every core runs a worker, a spinning master (or a spinning worker waiting
// through the master's baseline) takes CPU from the processes being measured,
// so every wait here starts the non-blocking form of the call and then
// sleeps between short looks at it. The order and meaning of every call is
// that of its blocking form: the same messages, counts, tags and barriers.
#include "mpi_wait.h"

#include "processors64_mpi_mac0.h"

#include <chrono>
#include <thread>

namespace {

// Short against any timed loop, long enough that a waiting rank uses almost
// no CPU.
constexpr std::chrono::microseconds POLL_INTERVAL(200);

void wait_for(MPI_Request* request, MPI_Status* request_status) {
    int done = 0;
    MPI_Test(request, &done, request_status);
    while (!done) {
        std::this_thread::sleep_for(POLL_INTERVAL);
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
