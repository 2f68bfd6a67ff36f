// The Integer Streaming recurrence over its first iterations, and the
// defined conversion of doubles outside the 128-bit range.
#include "workloads/integer_streaming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr int128 P32 = int128(1) << 32;
constexpr int128 P63 = int128(1) << 63;
constexpr int128 P64 = int128(1) << 64;

std::string show(int128 v) {
    const bool negative = v < 0;
    uint128 magnitude = negative ? -static_cast<uint128>(v) : static_cast<uint128>(v);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude);
    return negative ? "-" + digits : digits;
}

// The cell after each of the first `n` iterations.
std::vector<int128> trace(int divisor, int shift, double factor, std::uint64_t n) {
    std::vector<int128> cells;
    for (std::uint64_t i = 1; i <= n; ++i) {
        int128 cell = 0;
        volatile std::uint64_t k = 0;
        integer_streaming_loop(&cell, k, i, divisor, shift, factor);
        cells.push_back(cell);
    }
    return cells;
}

std::vector<int128> trace_worker(int rank, std::uint64_t n, int128 start = 0) {
    std::vector<int128> cells;
    for (std::uint64_t i = 1; i <= n; ++i) {
        int128 cell = start;
        volatile std::uint64_t k = 0;
        integer_streaming_loop(&cell, k, i, rank, rank % 64, log_of_rank{rank});
        cells.push_back(cell);
    }
    return cells;
}

void expect_cells(const std::vector<int128>& expected, const std::vector<int128>& actual,
                  const char* form) {
    ASSERT_EQ(expected.size(), actual.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(show(expected[i]), show(actual[i])) << form << ", iteration " << i;
    }
}

TEST(ToInt128Saturating, TruncatesInsideTheRange) {
    EXPECT_EQ(0, to_int128_saturating(0.0));
    EXPECT_EQ(-2, to_int128_saturating(-2.9));
    EXPECT_EQ(4294967295, to_int128_saturating(4294967295.856));
    EXPECT_EQ(show(-(P63 * 3)), show(to_int128_saturating(-3 * 0x1p63)));
    EXPECT_EQ(show(INT128_SMALLEST), show(to_int128_saturating(-0x1p127)));
    EXPECT_EQ(show(INT128_LARGEST - ((int128(1) << 74) - 1)),
              show(to_int128_saturating(0x1.fffffffffffffp126)));
}

TEST(ToInt128Saturating, ClampsOutsideTheRangeAndMapsNaNToZero) {
    EXPECT_EQ(show(INT128_LARGEST), show(to_int128_saturating(0x1p127)));
    EXPECT_EQ(show(INT128_LARGEST), show(to_int128_saturating(1e300)));
    EXPECT_EQ(show(INT128_LARGEST), show(to_int128_saturating(INFINITY)));
    EXPECT_EQ(show(INT128_SMALLEST), show(to_int128_saturating(-0x1.0000000000001p127)));
    EXPECT_EQ(show(INT128_SMALLEST), show(to_int128_saturating(-INFINITY)));
    EXPECT_EQ(0, to_int128_saturating(NAN));
}

TEST(IntegerStreaming, MasterWithWorkers) {
    expect_cells({P32 + 2, P32 - 1, -(P63 - P32), -(P63 - P32), -(P64 - P32)},
                 trace(2, 1, LN_11, 5), "master, nproc 2");
    expect_cells({P32 + 2, P32 - 1, -(P63 - P32), -(P63 - P32), -(P64 - P32)},
                 trace(7, 1, LN_11, 5), "master, nproc 7");
}

TEST(IntegerStreaming, ExponentOneForms) {
    const std::vector<int128> expected = {P32 + 2, P32 - 1, -(P63 - 2 * P32), -(P64 - 3 * P32),
                                          -(3 * P64 - 7 * P32)};
    expect_cells(expected, trace(1, 1, LN_11, 5), "master alone");
    expect_cells(expected, trace_worker(1, 5), "worker of rank 1");
}

TEST(IntegerStreaming, WorkerOfRankTwo) {
    expect_cells({P32 + 2, P32, P32 + 3, P32 + 2, -(P63 - P32)}, trace_worker(2, 5),
                 "worker of rank 2");
}

TEST(IntegerStreaming, FirstIterationForgetsTheStartingValue) {
    EXPECT_EQ(show(P32 + 2), show(trace_worker(1, 1, INT128_LARGEST)[0]));
    EXPECT_EQ(show(P32 + 2), show(trace_worker(3, 1, -12345)[0]));
}

TEST(IntegerStreaming, ShiftIsTheRankModulo64) {
    // Iteration 3: m = 3 >> shift; t = -2^63, so the cell is -(m * 2^63 - 2^32).
    EXPECT_EQ(show(-(3 * P63 - P32)), show(trace_worker(64, 4)[3])) << "rank 64 shifts by 0";
    EXPECT_EQ(show(-(P63 - P32)), show(trace_worker(65, 4)[3])) << "rank 65 shifts by 1";
}

TEST(IntegerStreaming, IndexAroundTheThreshold) {
    // Master with workers: m = (i mod (k + 1)) >> 1 multiplies -2^63.
    auto at = [](std::uint64_t i) {
        int128 cell = 0;
        volatile std::uint64_t k = 0;
        integer_streaming_loop(&cell, k, i + 1, 2, 1, LN_11);
        return std::make_pair(cell, static_cast<std::uint64_t>(k));
    };
    EXPECT_EQ(show(-(int128(1) << 74) + P32), show(at(4096).first)) << "k = 4096, m = 2048";
    EXPECT_EQ(4096u, at(4096).second);
    EXPECT_EQ(show(P32 - 1), show(at(4097).first)) << "k = 1, m = 0";
    EXPECT_EQ(1u, at(4097).second);
    EXPECT_EQ(show(P32 + 2), show(at(8192).first)) << "k = 0";
    EXPECT_EQ(0u, at(8192).second);
}

TEST(IntegerStreaming, RankTwelveGetsMultiplierOneAtIteration4096Only) {
    const std::vector<int128> cells = trace_worker(12, 4098);
    EXPECT_EQ(show(-(P63 - P32)), show(cells[4096]));
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i != 4096) {
            ASSERT_GT(cells[i], 0) << "iteration " << i;
        }
    }
}

TEST(IntegerStreaming, ExponentOneWrapsAtIteration27AndSaturatesAt144) {
    // The product of step 8 is (truncated cell - 2^63) times m; it leaves the
    // 128-bit range first in iteration 27. Its magnitude is checked here in
    // long double arithmetic from the cell the loop left behind.
    const std::vector<int128> cells = trace(1, 1, LN_11, 150);
    const long double limit = 0x1p127L;
    int first_wrap = -1;
    for (std::uint64_t i = 1; i < cells.size() && first_wrap < 0; ++i) {
        const std::uint64_t k = i;
        const std::uint64_t m = (i % (k + 1)) >> 1;
        const long double difference =
            static_cast<long double>(static_cast<double>(cells[i - 1])) - 0x1p63L;
        if (std::fabs(std::trunc(difference)) * m >= limit) {
            first_wrap = static_cast<int>(i);
        }
    }
    EXPECT_EQ(27, first_wrap);
    // A double of magnitude 2^127 reaches step 13 first in iteration 144,
    // where it saturates.
    int first_saturated = -1;
    for (std::size_t i = 0; i < cells.size() && first_saturated < 0; ++i) {
        if (cells[i] == INT128_LARGEST || cells[i] == INT128_SMALLEST) {
            first_saturated = static_cast<int>(i);
        }
    }
    EXPECT_EQ(144, first_saturated);
}

TEST(IntegerStreaming, RankTenCarriesInfinityAndNaNThroughDefinedConversions) {
    // log(0) is minus infinity: A - B is NaN where k = 0 and +-infinity
    // elsewhere. The sanitizer build of this test fails on any undefined
    // conversion.
    const std::vector<int128> cells = trace_worker(10, 6);
    EXPECT_EQ(0, cells[0]) << "NaN converts to 0";
    EXPECT_EQ(show(INT128_LARGEST), show(cells[1])) << "sin(90) > 0: +infinity saturates";
    int128 cell = 0;
    volatile std::uint64_t k = 0;
    integer_streaming_loop(&cell, k, 8193, 10, 10, log_of_rank{10});
    EXPECT_EQ(0, cell);
}

} // namespace
