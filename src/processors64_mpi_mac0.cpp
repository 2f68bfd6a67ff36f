// processors64_mpi_mac0: CPU throughput of a node or a cluster, one MPI job.
//
// Rank 0, the master, writes the report to the console and to a results file,
// times a single-process baseline of each streaming test and collects the
// measurements of every other rank. The workers run each test's loop side by
// side and send their times and rates to the master.
//
// The run is one straight path of seven phases cut by six barriers, the same
// on every process:
//   0 Effective Frequency      workers measure, master collects     barrier 1
//   1 Float Streaming          master's baseline, workers wait      barrier 2
//   2 Float Streaming          workers measure, master collects     barrier 3
//   3 Integer Streaming        master's baseline                    barrier 4
//   4 Integer Streaming        workers measure, master collects     barrier 5
//   5 Logic Streaming          master's baseline                    barrier 6
//   6 Logic Streaming          workers measure, master collects; end of run
#include "processors64_mpi_mac0.h"

#include "mpi_wait.h"
#include "report/lines.h"
#include "report/output.h"
#include "report/results.h"
#include "workloads/effective_frequency.h"
#include "workloads/float_streaming.h"
#include "workloads/integer_streaming.h"
#include "workloads/logic_streaming.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>

// ---- Process-wide state ---------------------------------------------------

int nproc;
int iproc;
int tag;
int nameLength;
MPI_Status status;
char proc_name[PROC_NAME_SIZE];
char proc_name_temp[PROC_NAME_SIZE];
char resultfile[1024];
char filepath[2048];
// The working directory is taken before main runs, as the process was started.
char* newbuffer = getcwd(nullptr, 0);

int iprocs[TABLE_SIZE];
int iprocs_temp[TABLE_SIZE];
std::string procname0_temp[TABLE_SIZE];
std::string procname1_temp[TABLE_SIZE];
std::string procname2_temp[TABLE_SIZE];
std::FILE* fout = nullptr;

double start0[TABLE_SIZE], start1[TABLE_SIZE], start2[TABLE_SIZE], start3[TABLE_SIZE];
double end0[TABLE_SIZE], end1[TABLE_SIZE], end2[TABLE_SIZE], end3[TABLE_SIZE];
double spent0[TABLE_SIZE], spent1[TABLE_SIZE], spent2[TABLE_SIZE], spent3[TABLE_SIZE];
double results0[TABLE_SIZE], results1[TABLE_SIZE], results2[TABLE_SIZE], results3[TABLE_SIZE];
double results0_temp[TABLE_SIZE], results1_temp[TABLE_SIZE], results2_temp[TABLE_SIZE],
    results3_temp[TABLE_SIZE];
double spent0_temp[TABLE_SIZE], spent1_temp[TABLE_SIZE], spent2_temp[TABLE_SIZE],
    spent3_temp[TABLE_SIZE];

double results_overall0, results_overall1, results_overall2, results_overall3;
double results_mean0, results_mean1, results_mean2, results_mean3;
double results_f, results_f1, results_f2;
double result_single, result_single1, result_single2;
double start_single, start_single1, start_single2;
double end_single, end_single1, end_single2;
double spent_single, spent_single1, spent_single2;

// ---- Start-up -------------------------------------------------------------

namespace {

// The master names and opens the results file, caps its process count and
// prints the banner.
void master_startup() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    std::snprintf(resultfile, sizeof resultfile, "%s", result_file_name(*local, proc_name).c_str());
    open_results_file();

    if (nproc > MAX_PROCS) {
        std::cerr << "processors64_mpi_mac0: " << nproc << " processes were started; the master "
                  << "collects at most " << MAX_PROCS << ", so ranks " << MAX_PROCS
                  << " and above stayed idle." << std::endl;
        nproc = MAX_PROCS;
    }

    write_console("");
    write_console(TITLE_LINE);
    write_console("Copyright (c) 2020 the processors64_mpi_mac0 authors. All rights reserved.");
    write_console("Questions and reports: contact the administrator of your cluster.");
    write_console("");
    write_console("");
    write_console(text("Thread(s): ", nproc));
    write_console("");

    write_file(TITLE_LINE);
    write_file("");
    write_file(text("Thread(s): ", nproc));
    write_file("");
}

// ---- End of run -----------------------------------------------------------

// The master names the results file, closes it and waits for one character.
// Its exit status is 1 when the results could not be saved.
int end_of_run() {
    if (newbuffer) {
        std::snprintf(filepath, sizeof filepath, "%s/%s", newbuffer, resultfile);
    }
    write_file("");
    write_file("");
    close_results_file();
    const bool saved = results_file_saved();

    write_console("");
    write_console(saved_path_line(newbuffer, resultfile, saved));
    write_console("");
    write_console("");
    write_console("");
    write_console("Press Enter to Exit.");

    std::fflush(stdin);
    std::cin.get();
    return saved ? 0 : 1;
}

} // namespace

// ---- The run --------------------------------------------------------------

int main(int argc, char* argv[]) {
    MPI_Init(&argc, &argv);
    MPI_Comm_size(MPI_COMM_WORLD, &nproc);
    MPI_Comm_rank(MPI_COMM_WORLD, &iproc);
    MPI_Get_processor_name(proc_name, &nameLength);

    const bool master = 0 == iproc;
    const bool worker = is_worker(iproc); // ranks above the master's cap stay idle

    // Phase 0: Effective Frequency. No barrier before it: the workers start
    // while the master is still writing its banner.
    if (master) {
        master_startup();
        effective_frequency_master();
    } else if (worker) {
        effective_frequency_worker();
    }
    wait_barrier(); // 1

    // Phases 1 and 2: Float Streaming.
    if (master) {
        float_streaming_master();
    }
    wait_barrier(); // 2
    if (master) {
        collect_results(0);
        print_test_summary(0);
    } else if (worker) {
        float_streaming_worker();
    }
    wait_barrier(); // 3

    // Phases 3 and 4: Integer Streaming.
    if (master) {
        integer_streaming_master();
    }
    wait_barrier(); // 4
    if (master) {
        collect_results(1);
        print_test_summary(1);
    } else if (worker) {
        integer_streaming_worker();
    }
    wait_barrier(); // 5

    // Phases 5 and 6: Logic Streaming, then the end of the run.
    if (master) {
        logic_streaming_master();
    }
    wait_barrier(); // 6
    int exit_status = 0;
    if (master) {
        collect_results(2);
        print_test_summary(2);
        exit_status = end_of_run();
    } else if (worker) {
        logic_streaming_worker();
    }

    MPI_Finalize();
    return exit_status;
}
