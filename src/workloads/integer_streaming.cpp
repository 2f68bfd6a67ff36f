// Integer Streaming, test slot 1.
#include "workloads/integer_streaming.h"

#include "processors64_mpi_mac0.h"
#include "report/output.h"
#include "report/results.h"
#include "workloads/loop_support.h"

#include <cmath>

namespace {
constexpr int INTEGER_SLOT = 1;
constexpr double TWO_TO_63 = 9223372036854775808.0;
constexpr double TWO_TO_127 = 0x1p127;
constexpr uint128 ADDEND = 4294967298u; // 2^32 + 2

template <class Factor>
void run_loop(int128* cell, volatile std::uint64_t& k, std::uint64_t iterations, int divisor,
              int shift, Factor factor) {
    for (std::uint64_t i = 0; i < iterations; ++i) {
        k = loop_index(i);
        const double e = static_cast<double>(one_over(divisor)); // divided in every iteration
        const double x = static_cast<double>(*cell);
        const double p = std::pow(x, e);
        const double difference = p - TWO_TO_63;
        const std::uint64_t m = (i % (k + 1)) >> shift;
        const int128 t = to_int128_saturating(difference);
        // Unsigned arithmetic wraps modulo 2^128 where the signed product would overflow.
        const int128 u = static_cast<int128>(static_cast<uint128>(t) * m + ADDEND);
        const double a = static_cast<double>(u);
        const double q = static_cast<double>(k * k);
        const double r = std::sqrt(q);
        const double sine = std::sin(r * 90.0);
        const double b = sine * sine_factor(factor); // the logarithm after the sine
        *cell = to_int128_saturating(a - b);
        keep_in_memory(*cell);
    }
}
} // namespace

int128 to_int128_saturating(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= TWO_TO_127) {
        return INT128_LARGEST;
    }
    if (value < -TWO_TO_127) {
        return INT128_SMALLEST;
    }
    return static_cast<int128>(value);
}

void integer_streaming_loop(int128* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                            int divisor, int shift, double factor) {
    run_loop(cell, k, iterations, divisor, shift, factor);
}

void integer_streaming_loop(int128* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                            int divisor, int shift, log_of_rank factor) {
    run_loop(cell, k, iterations, divisor, shift, factor);
}

void integer_streaming_master() {
    print_baseline_header("Integer Streaming.", 2);
    volatile std::uint64_t k = 0;
    int128* cell = new int128(0);
    start_single1 = MPI_Wtime();
    integer_streaming_loop(cell, k, ITERATIONS, nproc, 1, LN_11);
    end_single1 = MPI_Wtime();
    record_measurement(start_single1, end_single1, spent_single1, result_single1);
    print_baseline_result(spent_single1, result_single1);
}

void integer_streaming_worker() {
    iprocs[iproc] = iproc;
    volatile std::uint64_t k = 0;
    int128* cell = new int128(0);
    start1[iproc] = MPI_Wtime();
    integer_streaming_loop(cell, k, ITERATIONS, iproc, iproc % 64, log_of_rank{iproc});
    end1[iproc] = MPI_Wtime();
    record_measurement(start1[iproc], end1[iproc], spent1[iproc], results1[iproc]);
    send_results(INTEGER_SLOT);
}
