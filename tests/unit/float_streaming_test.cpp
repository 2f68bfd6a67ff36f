// The Float Streaming recurrence over its first iterations.
//
// Expected values are worked out by hand from the steps. C is about 2^896, so
// the long double ulp of C is 2^833: adding a multiplier below 4097 or
// subtracting a sine term below 2.4 leaves C unchanged, and 1 - DBL_MIN rounds
// to 1. With exponent 0 the power is 1, every iteration gives t = m + C = C.
// With exponent 1 the power is the cell: t = m * cell + C.
#include "workloads/float_streaming.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr long double C = FLOAT_STREAMING_C;

struct after {
    long double cell;
    std::uint64_t k;
};

after run_master(int processes, std::uint64_t iterations, long double start = 0.0L) {
    long double cell = start;
    volatile std::uint64_t k = 0;
    float_streaming_loop(&cell, k, iterations, processes, 1, LN_11);
    return {cell, k};
}

after run_worker(int rank, std::uint64_t iterations, long double start = 0.0L) {
    long double cell = start;
    volatile std::uint64_t k = 0;
    float_streaming_loop(&cell, k, iterations, rank, rank % 64, log_of_rank{rank});
    return {cell, k};
}

TEST(FloatStreaming, ConstantsAreTheExactBitPatterns) {
    EXPECT_EQ(0x1.0000010000010p+896, FLOAT_STREAMING_C);
    EXPECT_DOUBLE_EQ(5.28294562624475e+269, FLOAT_STREAMING_C);
    EXPECT_EQ(2.3978952727983707, LN_11);
    EXPECT_EQ(std::log(11.0), LN_11);
}

TEST(FloatStreaming, ExponentZeroKeepsTheCellAtC) {
    for (std::uint64_t n = 1; n <= 6; ++n) {
        EXPECT_EQ(C, run_master(2, n).cell) << n << " iterations";
        EXPECT_EQ(C, run_master(5, n).cell) << n << " iterations";
        EXPECT_EQ(C, run_worker(2, n).cell) << n << " iterations";
        EXPECT_EQ(C, run_worker(11, n).cell) << "rank 11: log(1) = 0, " << n << " iterations";
    }
}

TEST(FloatStreaming, ExponentOneFeedsTheCellForward) {
    // m = (i mod (k + 1)) >> 1 = i >> 1 for small i: 0, 0, 1, 1, 2, 2, 3.
    const long double expected[] = {C, C, 2 * C, 3 * C, 7 * C, 15 * C, 46 * C};
    for (std::uint64_t n = 1; n <= 7; ++n) {
        EXPECT_EQ(expected[n - 1], run_master(1, n).cell) << "master alone, " << n;
        EXPECT_EQ(expected[n - 1], run_worker(1, n).cell) << "rank 1, " << n;
    }
}

TEST(FloatStreaming, AnyFiniteStartingValueGivesTheSameValues) {
    EXPECT_EQ(7 * C, run_master(1, 5, -12345.0L).cell);
    EXPECT_EQ(7 * C, run_worker(1, 5, 1e300L).cell);
}

TEST(FloatStreaming, RankTenMultipliesByMinusInfinity) {
    // log(10 XOR 10) = log(0): the sine term is NaN where k = 0 (0 times
    // infinity) and infinite elsewhere; sin(90) > 0 makes the cell +inf.
    EXPECT_TRUE(std::isnan(run_worker(10, 1).cell));
    EXPECT_EQ(INFINITY, run_worker(10, 2).cell);
    EXPECT_TRUE(std::isinf(run_worker(10, 4097).cell)) << "k = 4096 at i = 4096, not 0";
    EXPECT_EQ(INFINITY, run_worker(10, 4098).cell) << "k = 1 at i = 4097";
    EXPECT_TRUE(std::isnan(run_worker(10, 8193).cell)) << "k = 0 at i = 8192";
}

TEST(FloatStreaming, IndexIsIUpTo4096ThenIMod4096) {
    EXPECT_EQ(0u, run_master(2, 1).k);
    EXPECT_EQ(4095u, run_master(2, 4096).k);
    EXPECT_EQ(4096u, run_master(2, 4097).k);
    EXPECT_EQ(1u, run_master(2, 4098).k);
    EXPECT_EQ(0u, run_worker(3, 8193).k);
}

} // namespace
