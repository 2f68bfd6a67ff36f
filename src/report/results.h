// The workers' result messages and the master's report of them.
//
// After a timed loop a worker sends its rate table, its elapsed-seconds table
// (both of message_count(nproc) entries, only its own entry set), then, for the
// streaming tests, its processor name and its rank table. The master receives
// them worker by worker in ascending rank order.
#pragma once

#include <string>

// The global tables and scalars of one test slot.
struct slot_tables {
    double* results;       // worker: rate at its own rank
    double* spent;         // worker: elapsed seconds at its own rank
    double* results_temp;  // master: receive buffer for a worker's rates
    double* spent_temp;    // master: receive buffer for a worker's seconds
    std::string* procname; // master: worker names by rank (streaming slots only)
    double* overall;       // master: sum of the worker rates
    double* mean;          // master: mean worker rate
    double* single;        // master: its own single-process rate (streaming slots only)
    double* ratio;         // master: overall / single (streaming slots only)
};

// Slots 0 Float, 1 Integer, 2 Logic Streaming, 3 Effective Frequency.
const slot_tables& slot(int test_slot);

// The first two messages of every test: the rate and elapsed-seconds tables.
void send_rate_and_time(int test_slot);
// Receives them from `rank` and adds that worker's rate to the slot's sum.
void receive_rate_and_time(int test_slot, int rank);

// Mean rate per worker; only meaningful when there is at least one worker.
double mean_per_worker(double sum, int processes);

// The worker's name is exactly the characters its message carried.
std::string received_name(const char* buffer, int count);

// Streaming tests, slots 0 to 2.
void send_results(int test_slot);
void collect_results(int test_slot);
void print_test_summary(int test_slot);
