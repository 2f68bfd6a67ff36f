// What every timed loop shares: the index rule and the compiler barriers that
// keep each iteration's work in the loop. The barriers are empty asm
// statements: they emit no instruction, they only tell the compiler that a
// value is used or changed where it stands, so nothing is folded, hoisted
// out of the loop or dropped because no one reads the result.
//
// Each form of a workload allocates its heap cell before the first timer
// reading and keeps it to the end of the process; nothing reads it after the
// loop.
#pragma once

#include "processors64_mpi_mac0.h"

#include <cmath>
#include <cstdint>

// The index every loop writes: i while i <= 4096, then i mod 4096.
inline std::uint64_t loop_index(std::uint64_t i) { return i <= 4096 ? i : (i & 4095); }

// The value must exist in memory here and may have changed afterwards: the
// store before it and the load after it both happen in every iteration.
template <class T> inline void keep_in_memory(T& value) { asm volatile("" : "+m"(value)); }

// The compiler may no longer assume it knows the value, so whatever is
// computed from it is computed again in every iteration.
inline void opaque(int& value) { asm volatile("" : "+r"(value)); }
inline void opaque(double& value) { asm volatile("" : "+x"(value)); }

// 1 / divisor by a division instruction, in every iteration. Knowing the
// dividend is 1, GCC and Clang replace the division by a compare and a select
// (the quotient can only be 1, -1 or 0), so the dividend is hidden; a new
// unknown dividend in every iteration also keeps the division in the loop.
// (Hiding the divisor as well would cost a register copy per iteration.)
inline int one_over(int divisor) {
    int one = 1;
    opaque(one);
    return one / divisor;
}

// The buffer's contents count as read.
inline void escape(void* pointer) { asm volatile("" : : "r"(pointer) : "memory"); }

// ln 11, the factor of the sine term in a master's baseline.
constexpr double LN_11 = 0x1.32ee3b77f374cp+1;

// A worker's factor of the sine term: log(rank XOR 10), computed in every
// iteration of its loop.
struct log_of_rank {
    int rank;
};

inline double sine_factor(double constant) { return constant; }

inline double sine_factor(log_of_rank factor) {
    int rank = factor.rank;
    opaque(rank); // the logarithm is taken anew in every iteration
    return std::log(static_cast<double>(rank ^ 10));
}

// The elapsed seconds and the rate of a timed loop, from its two timer
// readings; taken after the second reading, outside the timed interval.
inline void record_measurement(double start, double end, double& spent, double& rate) {
    spent = end - start;
    rate = rate_of(spent);
}
