// Every library call of the timed loops happens once per iteration.
//
// This binary links the program's own objects with each library call of the
// loops wrapped (-Wl,--wrap=NAME, see CMakeLists.txt): the loops' calls of
// NAME arrive at __wrap_NAME below, which counts the call, notes its argument
// and passes it on to the library through __real_NAME. A call the compiler
// removed, hoisted out of the loop or merged across iterations shows up as a
// count that is not exactly (calls per iteration) x (iterations). Every loop
// runs past 4097 iterations so that both halves of the index rule run (GCC
// splits the loops there).
#include "workloads/effective_frequency.h"
#include "workloads/float_streaming.h"
#include "workloads/integer_streaming.h"
#include "workloads/logic_streaming.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdarg>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

struct Counts {
    std::uint64_t sprintf = 0, powl = 0, pow = 0, sin = 0, log = 0, sqrt = 0;
    std::uint64_t floattidf = 0, fixdfti = 0;
    std::uint64_t total() const {
        return sprintf + powl + pow + sin + log + sqrt + floattidf + fixdfti;
    }
};

// One sprintf call as the loop made it.
struct Conversion {
    const char* buffer;
    std::string format;
    long double float_argument;
    unsigned long long integer_argument;
};

Counts counts;
std::vector<Conversion> conversions;
long double last_powl_exponent;
double last_sin_argument, last_log_argument;

void reset() {
    counts = Counts{};
    conversions.clear();
    last_powl_exponent = -1;
    last_sin_argument = last_log_argument = -1;
}

void note_conversion(char* buffer, const char* format, va_list arguments) {
    Conversion conversion{buffer, format, 0, 0};
    va_list copy;
    va_copy(copy, arguments);
    if (conversion.format == "%LA") {
        conversion.float_argument = va_arg(copy, long double);
    } else {
        conversion.integer_argument = va_arg(copy, unsigned long long);
    }
    va_end(copy);
    conversions.push_back(conversion);
}

} // namespace

// The wrappers. sprintf is variadic and cannot hand its arguments on to
// __real_sprintf, so it converts through vsprintf, which does the same work.
extern "C" {
long double __real_powl(long double, long double);
double __real_pow(double, double);
double __real_sin(double);
double __real_log(double);
double __real_sqrt(double);
double __real___floattidf(__int128);
__int128 __real___fixdfti(double);
int __vsprintf_chk(char*, int, std::size_t, const char*, va_list);

int __wrap_sprintf(char* buffer, const char* format, ...) {
    ++counts.sprintf;
    va_list arguments;
    va_start(arguments, format);
    note_conversion(buffer, format, arguments);
    const int length = std::vsprintf(buffer, format, arguments);
    va_end(arguments);
    return length;
}

// The fortified form, in builds with _FORTIFY_SOURCE.
int __wrap___sprintf_chk(char* buffer, int flag, std::size_t size, const char* format, ...) {
    ++counts.sprintf;
    va_list arguments;
    va_start(arguments, format);
    note_conversion(buffer, format, arguments);
    const int length = __vsprintf_chk(buffer, flag, size, format, arguments);
    va_end(arguments);
    return length;
}

long double __wrap_powl(long double x, long double y) {
    ++counts.powl;
    last_powl_exponent = y;
    return __real_powl(x, y);
}
double __wrap_pow(double x, double y) {
    ++counts.pow;
    return __real_pow(x, y);
}
double __wrap_sin(double x) {
    ++counts.sin;
    last_sin_argument = x;
    return __real_sin(x);
}
double __wrap_log(double x) {
    ++counts.log;
    last_log_argument = x;
    return __real_log(x);
}
double __wrap_sqrt(double x) {
    ++counts.sqrt;
    return __real_sqrt(x);
}
double __wrap___floattidf(__int128 x) {
    ++counts.floattidf;
    return __real___floattidf(x);
}
__int128 __wrap___fixdfti(double x) {
    ++counts.fixdfti;
    return __real___fixdfti(x);
}
} // extern "C"

namespace {

constexpr std::uint64_t N = 5000; // past the split of the index rule at 4097
// Exact counts at N and 2N: a call done once per run, or once per two
// iterations, cannot match both.
constexpr std::uint64_t RUNS[] = {0, 1, N, 2 * N};

// The index every loop leaves behind after n iterations.
std::uint64_t last_index(std::uint64_t n) { return n == 0 ? 0 : loop_index(n - 1); }

// Runs a loop n times with fresh counters and returns them.
template <class Loop> Counts run(std::uint64_t n, Loop loop) {
    reset();
    loop(n);
    return counts;
}

// sqrt of k * k >= 0: the square root instruction, or the library call in
// every iteration (both compilers use the instruction and call sqrt only for a
// negative argument, which never comes).
void expect_sqrt(std::uint64_t calls, std::uint64_t n) {
    EXPECT_TRUE(calls == 0 || calls == n) << calls << " sqrt calls in " << n << " iterations";
}

TEST(CallCounts, EffectiveFrequencyConvertsFourTimesPerIteration) {
    const char* formats[] = {"%LA", "%llu", "%llo", "%llX"};
    for (std::uint64_t n : RUNS) {
        volatile std::uint64_t index = 12345;
        const Counts c = run(n, [&](std::uint64_t n) { effective_frequency_loop(index, n); });
        EXPECT_EQ(4 * n, c.sprintf) << n << " iterations";
        EXPECT_EQ(c.sprintf, c.total()) << "no other library call";
        EXPECT_EQ(n == 0 ? 12345u : last_index(n), index);
        // Each iteration: the four formats in order, the same values, four
        // separate buffers, the same four in every iteration.
        ASSERT_EQ(4 * n, conversions.size());
        std::set<const char*> buffers;
        for (std::uint64_t i = 0; i < conversions.size(); ++i) {
            const Conversion& conversion = conversions[i];
            ASSERT_EQ(formats[i % 4], conversion.format) << "call " << i;
            if (i % 4 == 0) {
                ASSERT_EQ(static_cast<long double>(DBL_MAX), conversion.float_argument);
            } else {
                ASSERT_EQ(~0ULL, conversion.integer_argument) << "call " << i;
            }
            ASSERT_EQ(conversions[i % 4].buffer, conversion.buffer) << "call " << i;
            buffers.insert(conversion.buffer);
        }
        EXPECT_EQ(n == 0 ? 0u : 4u, buffers.size());
    }
}

TEST(CallCounts, FloatStreamingMasterFormCallsPowlSinOncePerIterationAndNeverLog) {
    for (std::uint64_t n : RUNS) {
        long double cell = 0.0L;
        volatile std::uint64_t k = 0;
        const Counts c =
            run(n, [&](std::uint64_t n) { float_streaming_loop(&cell, k, n, 2, 1, LN_11); });
        EXPECT_EQ(n, c.powl) << n << " iterations";
        EXPECT_EQ(n, c.sin) << n << " iterations";
        EXPECT_EQ(0u, c.log) << "the master form multiplies by the constant ln 11";
        expect_sqrt(c.sqrt, n);
        EXPECT_EQ(c.powl + c.sin + c.sqrt, c.total()) << "no other library call";
        if (n > 0) {
            // The arguments of the last iteration: the exponent 1 / 2 and the
            // sine of sqrt(k * k) * 90 with that iteration's k.
            EXPECT_EQ(0.0L, last_powl_exponent);
            EXPECT_EQ(static_cast<double>(last_index(n)) * 90.0, last_sin_argument);
        }
    }
}

TEST(CallCounts, FloatStreamingWorkerFormAlsoTakesTheLogarithmInEveryIteration) {
    const int rank = 3; // log(3 ^ 10) = log(9)
    for (std::uint64_t n : RUNS) {
        long double cell = 0.0L;
        volatile std::uint64_t k = 0;
        const Counts c = run(n, [&](std::uint64_t n) {
            float_streaming_loop(&cell, k, n, rank, rank % 64, log_of_rank{rank});
        });
        EXPECT_EQ(n, c.powl) << n << " iterations";
        EXPECT_EQ(n, c.sin) << n << " iterations";
        EXPECT_EQ(n, c.log) << n << " iterations";
        expect_sqrt(c.sqrt, n);
        EXPECT_EQ(c.powl + c.sin + c.log + c.sqrt, c.total()) << "no other library call";
        if (n > 0) {
            EXPECT_EQ(9.0, last_log_argument);
            EXPECT_EQ(static_cast<double>(last_index(n)) * 90.0, last_sin_argument);
        }
    }
}

// Divisors from 2 up give the exponent 0, so both conversions to __int128 stay
// in range and each calls __fixdfti (a saturated value would not).
TEST(CallCounts, IntegerStreamingConvertsTwiceEachWayPerIteration) {
    for (const bool worker : {false, true}) {
        for (std::uint64_t n : RUNS) {
            int128 cell = 0;
            volatile std::uint64_t k = 0;
            const Counts c = run(n, [&](std::uint64_t n) {
                if (worker) {
                    integer_streaming_loop(&cell, k, n, 3, 3, log_of_rank{3});
                } else {
                    integer_streaming_loop(&cell, k, n, 2, 1, LN_11);
                }
            });
            SCOPED_TRACE(std::string(worker ? "worker" : "master") + " form, " + std::to_string(n) +
                         " iterations");
            EXPECT_EQ(2 * n, c.floattidf) << "the cell and the multiply-add to double";
            EXPECT_EQ(2 * n, c.fixdfti) << "the power and the result to __int128";
            EXPECT_EQ(n, c.pow);
            EXPECT_EQ(n, c.sin);
            EXPECT_EQ(worker ? n : 0, c.log);
            expect_sqrt(c.sqrt, n);
            EXPECT_EQ(c.floattidf + c.fixdfti + c.pow + c.sin + c.log + c.sqrt, c.total());
            EXPECT_EQ(last_index(n), k);
            if (n > 0) {
                EXPECT_EQ(static_cast<double>(last_index(n)) * 90.0, last_sin_argument);
            }
        }
    }
}

TEST(CallCounts, LogicStreamingCallsNothing) {
    for (std::uint64_t n : RUNS) {
        bool cell = false;
        volatile std::uint64_t index = 0;
        const Counts c = run(n, [&](std::uint64_t n) { logic_streaming_loop(&cell, index, n); });
        EXPECT_EQ(0u, c.total()) << n << " iterations";
        EXPECT_EQ(n > 0, cell);
        EXPECT_EQ(last_index(n), index);
    }
}

} // namespace
