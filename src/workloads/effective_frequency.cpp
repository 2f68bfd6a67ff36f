// Effective Frequency. The workers time a loop of text conversions and send
// their rate and elapsed time; the master times nothing, it sums the rates and
// reports them in Giga executions per second.
#include "workloads/effective_frequency.h"

#include "processors64_mpi_mac0.h"
#include "report/lines.h"
#include "report/output.h"
#include "report/results.h"
#include "workloads/loop_support.h"

#include <cfloat>
#include <cstdio>

namespace {
constexpr int FREQUENCY_SLOT = 3;
constexpr std::size_t BUFFER_SIZE = 4096;
} // namespace

void effective_frequency_loop(volatile std::uint64_t& index, std::uint64_t iterations) {
    char hexadecimal_float[BUFFER_SIZE];
    char decimal[BUFFER_SIZE];
    char octal[BUFFER_SIZE];
    char hexadecimal[BUFFER_SIZE];
    const long double largest = DBL_MAX;
    const unsigned long long all_bits = ~0ULL;
    for (std::uint64_t i = 0; i < iterations; ++i) {
        index = loop_index(i);
        std::sprintf(hexadecimal_float, "%LA", largest);
        std::sprintf(decimal, "%llu", all_bits);
        std::sprintf(octal, "%llo", all_bits);
        std::sprintf(hexadecimal, "%llX", all_bits);
        // The texts are never read; without this the compiler may drop the
        // conversions into dead local buffers.
        escape(hexadecimal_float);
        escape(decimal);
        escape(octal);
        escape(hexadecimal);
    }
}

void effective_frequency_worker() {
    volatile std::uint64_t index = 0;
    start3[iproc] = MPI_Wtime();
    effective_frequency_loop(index, ITERATIONS);
    end3[iproc] = MPI_Wtime();
    record_measurement(start3[iproc], end3[iproc], spent3[iproc], results3[iproc]);
    send_rate_and_time(FREQUENCY_SLOT);
}

void effective_frequency_master() {
    write_both("Effective Frequency.");
    for (int i = 1; i < nproc; ++i) {
        receive_rate_and_time(FREQUENCY_SLOT, i);
    }
    write_both("");
    write_both(frequency_overall_line(results_overall3));
    if (1 != nproc) {
        results_mean3 = mean_per_worker(results_overall3, nproc);
        write_average(frequency_average_line(results_mean3, false),
                      frequency_average_line(results_mean3, true));
    }
    write_both("");
}
