// Effective Frequency: a loop of four sprintf conversions per iteration.
#pragma once

#include <cstdint>

// Runs `iterations` iterations; `index` is the loop's index variable.
void effective_frequency_loop(volatile std::uint64_t& index, std::uint64_t iterations);

void effective_frequency_worker();
void effective_frequency_master();
