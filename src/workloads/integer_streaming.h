// Integer Streaming: a signed 128-bit cell carried through power,
// multiply-add and sine, with conversions between integer and double.
#pragma once

#include "workloads/loop_support.h"

#include <cstdint>

using int128 = __int128;
using uint128 = unsigned __int128;

constexpr int128 INT128_LARGEST = static_cast<int128>(~static_cast<uint128>(0) >> 1);
constexpr int128 INT128_SMALLEST = -INT128_LARGEST - 1;

// Double to signed 128-bit, truncating toward zero. A value outside the range
// saturates at the nearest limit and NaN gives 0, so the conversion is always
// defined and never traps.
int128 to_int128_saturating(double value);

// Runs `iterations` iterations on `cell`; `k` is the loop's index variable.
// `divisor` is the exponent divisor, `shift` the right shift of the
// multiplier, `factor` the factor of the sine term.
void integer_streaming_loop(int128* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                            int divisor, int shift, double factor);
void integer_streaming_loop(int128* cell, volatile std::uint64_t& k, std::uint64_t iterations,
                            int divisor, int shift, log_of_rank factor);

void integer_streaming_master();
void integer_streaming_worker();
