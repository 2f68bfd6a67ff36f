// Float Streaming, test slot 0. The cell carries x87 80-bit long double
// values; every step below is one separately rounded operation (the build
// contracts no multiply-add).
#include "workloads/float_streaming.h"

#include "processors64_mpi_mac0.h"
#include "report/output.h"
#include "report/results.h"
#include "workloads/loop_support.h"

#include <cfloat>
#include <cmath>

namespace {
constexpr int FLOAT_SLOT = 0;

template <class Factor>
void run_loop(long double* cell, volatile std::uint64_t& k, std::uint64_t iterations, int divisor,
              int shift, Factor factor) {
    for (std::uint64_t i = 0; i < iterations; ++i) {
        k = loop_index(i);
        const int e = one_over(divisor); // the division is done in every iteration
        const long double p = std::pow(*cell, static_cast<long double>(e));
        const std::uint64_t m = (i % (k + 1)) >> shift;
        const long double t =
            static_cast<long double>(m) * (p - static_cast<long double>(DBL_MIN)) +
            static_cast<long double>(FLOAT_STREAMING_C);
        const double s = std::sin(std::sqrt(static_cast<double>(k * k)) * 90.0);
        const double u = s * sine_factor(factor);
        *cell = t - static_cast<long double>(u);
        keep_in_memory(*cell);
    }
}
} // namespace

void float_streaming_loop(long double* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                          int divisor, int shift, double factor) {
    run_loop(cell, k, iterations, divisor, shift, factor);
}

void float_streaming_loop(long double* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                          int divisor, int shift, log_of_rank factor) {
    run_loop(cell, k, iterations, divisor, shift, factor);
}

void float_streaming_master() {
    print_baseline_header("Float Streaming.", 1);
    long double* cell = new long double(0.0L);
    volatile std::uint64_t k = 0;
    start_single = MPI_Wtime();
    float_streaming_loop(cell, k, ITERATIONS, nproc, 1, LN_11);
    end_single = MPI_Wtime();
    record_measurement(start_single, end_single, spent_single, result_single);
    print_baseline_result(spent_single, result_single);
}

void float_streaming_worker() {
    iprocs[iproc] = iproc;
    long double* cell = new long double(0.0L);
    volatile std::uint64_t k = 0;
    start0[iproc] = MPI_Wtime();
    float_streaming_loop(cell, k, ITERATIONS, iproc, iproc % 64, log_of_rank{iproc});
    end0[iproc] = MPI_Wtime();
    record_measurement(start0[iproc], end0[iproc], spent0[iproc], results0[iproc]);
    send_results(FLOAT_SLOT);
}
