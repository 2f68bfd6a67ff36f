#include "report/results.h"

#include "mpi_wait.h"
#include "processors64_mpi_mac0.h"
#include "report/lines.h"
#include "report/output.h"

namespace {
const slot_tables slots[] = {
    {results0, spent0, results0_temp, spent0_temp, procname0_temp, &results_overall0,
     &results_mean0, &result_single, &results_f},
    {results1, spent1, results1_temp, spent1_temp, procname1_temp, &results_overall1,
     &results_mean1, &result_single1, &results_f1},
    {results2, spent2, results2_temp, spent2_temp, procname2_temp, &results_overall2,
     &results_mean2, &result_single2, &results_f2},
    {results3, spent3, results3_temp, spent3_temp, nullptr, &results_overall3, &results_mean3,
     nullptr, nullptr},
};
} // namespace

const slot_tables& slot(int test_slot) { return slots[test_slot]; }

void send_rate_and_time(int test_slot) {
    const slot_tables& s = slot(test_slot);
    send_to_master(s.results, message_count(nproc), MPI_DOUBLE);
    send_to_master(s.spent, message_count(nproc), MPI_DOUBLE);
}

void receive_rate_and_time(int test_slot, int rank) {
    const slot_tables& s = slot(test_slot);
    receive_from(rank, s.results_temp, message_count(nproc), MPI_DOUBLE);
    receive_from(rank, s.spent_temp, message_count(nproc), MPI_DOUBLE);
    *s.overall += s.results_temp[rank];
}

double mean_per_worker(double sum, int processes) {
    const int workers = processes - 1;
    return sum / static_cast<double>(workers);
}

std::string received_name(const char* buffer, int count) {
    if (count < 0 || count > PROC_NAME_SIZE) {
        count = 0;
    }
    return std::string(buffer, static_cast<std::size_t>(count));
}

void send_results(int test_slot) {
    send_rate_and_time(test_slot);
    send_to_master(proc_name, nameLength, MPI_CHAR);
    send_to_master(iprocs, message_count(nproc), MPI_INT);
}

void collect_results(int test_slot) {
    const slot_tables& s = slot(test_slot);
    write_block({"", "Multi-Thread Enabled:"});
    // The master receives in rank order so its report is ordered by rank even
    // when a higher rank finishes first.
    for (int i = 1; i < nproc; ++i) {
        receive_rate_and_time(test_slot, i);
        receive_from(i, proc_name_temp, PROC_NAME_SIZE, MPI_CHAR);
        int name_length = 0;
        MPI_Get_count(&status, MPI_CHAR, &name_length);
        receive_from(i, iprocs_temp, message_count(nproc), MPI_INT);
        s.procname[i] = received_name(proc_name_temp, name_length);
        write_block({thread_spent_line(iprocs_temp[i], s.procname[i], s.spent_temp[i]),
                     thread_rate_line(iprocs_temp[i], s.procname[i], s.results_temp[i])});
    }
}

void print_test_summary(int test_slot) {
    const slot_tables& s = slot(test_slot);
    write_block({"", overall_line(*s.overall)});
    *s.ratio = *s.overall / *s.single;
    write_both(improvement_line(*s.ratio));
    if (1 != nproc) {
        *s.mean = mean_per_worker(*s.overall, nproc);
        write_average(average_line(*s.mean, false), average_line(*s.mean, true));
    }
    // Float Streaming is followed by the Integer Streaming header, which opens
    // with two empty lines of its own.
    if (0 != test_slot) {
        write_both("");
    }
}
