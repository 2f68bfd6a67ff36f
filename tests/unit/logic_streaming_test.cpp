// The Logic Streaming loop.
#include "processors64_mpi_mac0.h"
#include "workloads/logic_streaming.h"

#include <gtest/gtest.h>

namespace {

TEST(LogicStreaming, FirstConversionRoundsUpTo2To64) {
    EXPECT_EQ(0x1p64, complement_as_double(0));
    EXPECT_EQ(0x1p64, complement_as_double(1023));
    EXPECT_EQ(0x1.fffffffffffffp63, complement_as_double(1024));
}

TEST(LogicStreaming, AfterTheWholeLoopIndexIs4095AndCellIsOne) {
    bool cell = false;
    volatile std::uint64_t index = 0;
    logic_streaming_loop(&cell, index, ITERATIONS);
    EXPECT_EQ(4095u, index);
    EXPECT_TRUE(cell);
}

TEST(LogicStreaming, CellIsWrittenAndIndexFollowsTheRule) {
    volatile std::uint64_t index = 0;
    bool outcome = false;
    logic_streaming_loop(&outcome, index, 1);
    EXPECT_TRUE(outcome);
    EXPECT_EQ(0u, index);
    logic_streaming_loop(&outcome, index, 4097);
    EXPECT_EQ(4096u, index);
    logic_streaming_loop(&outcome, index, 4098);
    EXPECT_EQ(1u, index);
    logic_streaming_loop(&outcome, index, 8193);
    EXPECT_EQ(0u, index);
}

} // namespace
