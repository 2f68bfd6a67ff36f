// Logic Streaming, test slot 2. The outcome is true in every iteration; the
// barriers keep the compiler from knowing that.
#include "workloads/logic_streaming.h"

#include "processors64_mpi_mac0.h"
#include "report/output.h"
#include "report/results.h"
#include "workloads/loop_support.h"

#include <cfloat>

namespace {
constexpr int LOGIC_SLOT = 2;
}

void logic_streaming_loop(bool* cell, volatile std::uint64_t& index, std::uint64_t iterations) {
    for (std::uint64_t i = 0; i < iterations; ++i) {
        index = loop_index(i);
        double converted = complement_as_double(i);
        opaque(converted); // the range of the conversion must not decide the comparison
        *cell = converted < DBL_MAX;
        keep_in_memory(*cell);
    }
}

void logic_streaming_master() {
    print_baseline_header("Logic Streaming.", 1);
    volatile std::uint64_t index = 0;
    bool* cell = new bool;
    start_single2 = MPI_Wtime();
    logic_streaming_loop(cell, index, ITERATIONS);
    end_single2 = MPI_Wtime();
    record_measurement(start_single2, end_single2, spent_single2, result_single2);
    print_baseline_result(spent_single2, result_single2);
}

void logic_streaming_worker() {
    iprocs[iproc] = iproc;
    volatile std::uint64_t index = 0;
    bool* cell = new bool;
    start2[iproc] = MPI_Wtime();
    logic_streaming_loop(cell, index, ITERATIONS);
    end2[iproc] = MPI_Wtime();
    record_measurement(start2[iproc], end2[iproc], spent2[iproc], results2[iproc]);
    send_results(LOGIC_SLOT);
}
