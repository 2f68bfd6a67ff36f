// Float Streaming: extended-precision power, square root and sine on one
// long double cell.
#pragma once

#include "workloads/loop_support.h"

#include <cstdint>

// The constant added in every iteration.
constexpr double FLOAT_STREAMING_C = 0x1.0000010000010p+896;

// Runs `iterations` iterations on `cell`; `k` is the loop's index variable.
// `divisor` is the exponent divisor (the exponent is 1 / divisor), `shift` the
// right shift of the multiplier, `factor` the factor of the sine term.
void float_streaming_loop(long double* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                          int divisor, int shift, double factor);
void float_streaming_loop(long double* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                          int divisor, int shift, log_of_rank factor);

void float_streaming_master();
void float_streaming_worker();
