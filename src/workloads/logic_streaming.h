// Logic Streaming: an unsigned-to-double conversion and a comparison.
#pragma once

#include <cstdint>

// The complement of i as a double, rounded to nearest (2^64 for i = 0).
inline double complement_as_double(std::uint64_t i) { return static_cast<double>(~i); }

// Runs `iterations` iterations, writing the outcome of each comparison to
// `cell`; `index` is the loop's index variable.
void logic_streaming_loop(bool* cell, volatile std::uint64_t& index, std::uint64_t iterations);

void logic_streaming_master();
void logic_streaming_worker();
