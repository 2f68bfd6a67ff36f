// The summary of a streaming test and the slot tables behind it.
#include "report/output.h"
#include "report/results.h"
#include "report_capture.h"

#include <gtest/gtest.h>

namespace {

class Summary : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_nproc_ = nproc;
        for (int s = 0; s < 3; ++s) {
            *slot(s).overall = 0;
            *slot(s).single = 0;
        }
    }
    void TearDown() override { nproc = saved_nproc_; }
    int saved_nproc_ = 0;
};

TEST_F(Summary, TwoWorkersAgainstABaseline) {
    report_capture out;
    nproc = 3;
    results_overall0 = 1e6 + 3e6;
    result_single = 2e6;
    print_test_summary(0);
    EXPECT_EQ("\nOverall, It was: 4 Millions Executions/sec.\n"
              "Multi-Thread Improvements: 2 times.\n"
              "\nAmong all nodes, the average per thread was: 2 Millions Executions/sec.\n",
              out.console());
    EXPECT_EQ("\nOverall, It was: 4 Millions Executions/sec.\n"
              "Multi-Thread Improvements: 2 times.\n"
              "\nAmong all nodes, the average per thread  was: 2 Millions Executions/sec.\n",
              out.file());
    EXPECT_DOUBLE_EQ(2.0, results_f);
    EXPECT_DOUBLE_EQ(2e6, results_mean0);
}

TEST_F(Summary, IntegerAndLogicEndWithAnEmptyLine) {
    for (int s : {1, 2}) {
        report_capture out;
        nproc = 2;
        *slot(s).overall = 3e6;
        *slot(s).single = 1.5e6;
        print_test_summary(s);
        const std::string expected = "\nOverall, It was: 3 Millions Executions/sec.\n"
                                     "Multi-Thread Improvements: 2 times.\n"
                                     "\nAmong all nodes, the average per thread was: 3 "
                                     "Millions Executions/sec.\n\n";
        EXPECT_EQ(expected, out.console()) << "slot " << s;
        EXPECT_DOUBLE_EQ(2.0, *slot(s).ratio);
        EXPECT_DOUBLE_EQ(3e6, *slot(s).mean);
    }
}

TEST_F(Summary, MasterAloneHasNoAverageLine) {
    report_capture out;
    nproc = 1;
    results_mean1 = -1;
    result_single1 = 5e6;
    print_test_summary(1);
    EXPECT_EQ("\nOverall, It was: 0 Millions Executions/sec.\n"
              "Multi-Thread Improvements: 0 times.\n\n",
              out.console());
    EXPECT_EQ(out.console(), out.file());
    EXPECT_EQ(-1, results_mean1) << "no mean is computed without workers";
}

TEST(SlotTables, EachSlotReachesItsOwnGlobals) {
    EXPECT_EQ(results0, slot(0).results);
    EXPECT_EQ(spent1, slot(1).spent);
    EXPECT_EQ(results2_temp, slot(2).results_temp);
    EXPECT_EQ(spent3_temp, slot(3).spent_temp);
    EXPECT_EQ(procname1_temp, slot(1).procname);
    EXPECT_EQ(&results_overall2, slot(2).overall);
    EXPECT_EQ(&result_single, slot(0).single);
    EXPECT_EQ(&results_f2, slot(2).ratio);
    EXPECT_EQ(&results_mean3, slot(3).mean);
    EXPECT_EQ(nullptr, slot(3).single);
}

TEST(MessageCount, NeverMoreThanTheMasterCollects) {
    EXPECT_EQ(1, message_count(1));
    EXPECT_EQ(MAX_PROCS, message_count(MAX_PROCS));
    EXPECT_EQ(MAX_PROCS, message_count(MAX_PROCS + 1));
    EXPECT_FALSE(is_worker(0));
    EXPECT_TRUE(is_worker(1));
    EXPECT_TRUE(is_worker(MAX_PROCS - 1));
    EXPECT_FALSE(is_worker(MAX_PROCS));
}

} // namespace
