// Process-wide state of the benchmark, declared once here and defined in
// processors64_mpi_mac0.cpp. Every process of the MPI job has its own copy;
// the master (rank 0) and the workers use different members of the set.
#pragma once

#include <mpi.h>

#include <cstdint>
#include <cstdio>
#include <string>

// The short build (tests only) runs the same program with a few iterations,
// a master cap of 4 and rank tables of 8 entries, so that end-to-end runs take
// seconds and jobs above the cap or the table size are cheap to start.
#if defined(PROCESSORS64_SHORT_BUILD)
constexpr std::uint64_t ITERATIONS = 8192;
constexpr int MAX_PROCS = 4;
constexpr int TABLE_SIZE = 8;
#else
constexpr std::uint64_t ITERATIONS = 134217728; // 2^27 iterations in every workload loop
constexpr int MAX_PROCS = 512;                  // the master counts, collects and reports this many
constexpr int TABLE_SIZE = 4096;                // entries of every rank-indexed table
#endif
static_assert(MAX_PROCS <= TABLE_SIZE, "every collected rank must have a table entry");

constexpr int PROC_NAME_SIZE = 256;
static_assert(MPI_MAX_PROCESSOR_NAME <= PROC_NAME_SIZE, "the processor name must fit its buffer");

// Scalars and buffers.
extern int nproc; // on the master lowered to MAX_PROCS when the job is larger
extern int iproc;
extern int tag; // never assigned: every message has tag 0
extern int nameLength;
extern MPI_Status status;
extern char proc_name[PROC_NAME_SIZE];
extern char proc_name_temp[PROC_NAME_SIZE];
extern char resultfile[1024];
extern char filepath[2048];
extern char* newbuffer; // working directory, captured before main runs
extern std::FILE* fout; // the results file; null while closed

// Rank tables.
extern int iprocs[TABLE_SIZE];
extern int iprocs_temp[TABLE_SIZE];
extern std::string procname0_temp[TABLE_SIZE];
extern std::string procname1_temp[TABLE_SIZE];
extern std::string procname2_temp[TABLE_SIZE];

// Per-test tables; the digit is the test slot: 0 Float Streaming,
// 1 Integer Streaming, 2 Logic Streaming, 3 Effective Frequency.
extern double start0[TABLE_SIZE], start1[TABLE_SIZE], start2[TABLE_SIZE], start3[TABLE_SIZE];
extern double end0[TABLE_SIZE], end1[TABLE_SIZE], end2[TABLE_SIZE], end3[TABLE_SIZE];
extern double spent0[TABLE_SIZE], spent1[TABLE_SIZE], spent2[TABLE_SIZE], spent3[TABLE_SIZE];
extern double results0[TABLE_SIZE], results1[TABLE_SIZE], results2[TABLE_SIZE],
    results3[TABLE_SIZE];
extern double results0_temp[TABLE_SIZE], results1_temp[TABLE_SIZE], results2_temp[TABLE_SIZE],
    results3_temp[TABLE_SIZE];
extern double spent0_temp[TABLE_SIZE], spent1_temp[TABLE_SIZE], spent2_temp[TABLE_SIZE],
    spent3_temp[TABLE_SIZE];

// Per-test scalars of the master. Slot 0 has no digit in the last five families.
extern double results_overall0, results_overall1, results_overall2, results_overall3;
extern double results_mean0, results_mean1, results_mean2, results_mean3;
extern double results_f, results_f1, results_f2;
extern double result_single, result_single1, result_single2;
extern double start_single, start_single1, start_single2;
extern double end_single, end_single1, end_single2;
extern double spent_single, spent_single1, spent_single2;

// ITERATIONS as the double numerator of every rate.
inline double rate_of(double seconds) { return static_cast<double>(ITERATIONS) / seconds; }

// Number of table entries that every message carries: the job's size, but
// never more than the master collects, so sender and receiver always agree.
inline int message_count(int processes) { return processes < MAX_PROCS ? processes : MAX_PROCS; }

// Ranks from MAX_PROCS up are never collected: they pass every barrier but
// run no workload and send nothing.
inline bool is_worker(int rank) { return 0 < rank && rank < MAX_PROCS; }
