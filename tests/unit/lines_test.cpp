// The texts of the report: file name, number formatting, the lines of each test.
#include "processors64_mpi_mac0.h"
#include "report/lines.h"
#include "report/results.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

namespace {

std::tm tuesday(int day) {
    std::tm t{};
    t.tm_year = 2020 - 1900;
    t.tm_mon = 3;
    t.tm_mday = day;
    t.tm_hour = 14;
    t.tm_min = 5;
    t.tm_sec = 9;
    t.tm_wday = 2;
    t.tm_zone = const_cast<char*>("CET");
    return t;
}

TEST(ResultFileName, HoldsZoneAsctimeWithItsLineFeedAndProcessorName) {
    EXPECT_EQ("results_processors_lite_mac_clusters @ CET time Tue Apr 21 14:05:09 2020\n"
              " @ node1.txt",
              result_file_name(tuesday(21), "node1"));
}

TEST(ResultFileName, SingleDigitDayIsRightAlignedInTwoColumns) {
    std::tm t = tuesday(7);
    EXPECT_EQ("results_processors_lite_mac_clusters @ CET time Tue Apr  7 14:05:09 2020\n"
              " @ n.txt",
              result_file_name(t, "n"));
}

TEST(NumberFormat, SixSignificantDigitsGeneralNotation) {
    EXPECT_EQ("12.3457", text(12.3456789));
    EXPECT_EQ("0", text(0.0));
    EXPECT_EQ("1.5e+07", text(1.5e7));
    EXPECT_EQ("123456", text(123456.0));
    EXPECT_EQ("1.23457e+06", text(1234567.0));
    EXPECT_EQ("0.0001", text(0.0001));
    EXPECT_EQ("1e-05", text(0.00001));
}

TEST(BaselineLines, TimeLineEndsInABlankRateLineInMillions) {
    EXPECT_EQ("The system spent: 12.3457 Secs. ", spent_line(12.3456789));
    EXPECT_EQ("It was: 13.4218 Millions Executions/sec.", rate_line(134217728.0 / 10));
    EXPECT_EQ("It was: 1 Millions Executions/sec.", rate_line(1000000.0));
    EXPECT_EQ("It was: 536.871 Millions Executions/sec.", rate_line(134217728.0 / 0.25));
}

TEST(WorkerLines, RankFollowsThreadAndNameFollowsAt) {
    EXPECT_EQ("Thread:1 @node2 The system spent: 12.3457 Secs. ",
              thread_spent_line(1, "node2", 12.3456789));
    EXPECT_EQ("Thread:3 @a.long-host.name It was: 123.457 Millions Executions/sec.",
              thread_rate_line(3, "a.long-host.name", 1.23456789e8));
    EXPECT_EQ("Thread:2 @n It was: 1.5e+06 Millions Executions/sec.",
              thread_rate_line(2, "n", 1.5e12));
}

TEST(WorkerLines, NameIsExactlyWhatTheMessageCarried) {
    // The receive buffer still holds a longer earlier name behind the new one.
    char buffer[PROC_NAME_SIZE];
    std::memset(buffer, 'x', sizeof buffer);
    std::memcpy(buffer, "a-much-longer-node-name", 23);
    std::memcpy(buffer, "n7", 2);
    EXPECT_EQ("n7", received_name(buffer, 2));
    EXPECT_EQ("n7much-longer-node-name", received_name(buffer, 23));
    EXPECT_EQ(std::string(buffer, PROC_NAME_SIZE), received_name(buffer, PROC_NAME_SIZE));
    EXPECT_EQ("", received_name(buffer, MPI_UNDEFINED));
}

TEST(EffectiveFrequencyLines, OverallAndMeanInGiga) {
    // Three workers of exactly one second each.
    const double sum = 3 * 134217728.0;
    EXPECT_EQ("Overall, Effective Frequency was: 0.402653 Giga Executions/sec.",
              frequency_overall_line(sum));
    EXPECT_EQ("Among all nodes, the average per thread was: 0.134218 Giga Executions/sec.",
              frequency_average_line(mean_per_worker(sum, 4), false));
    EXPECT_EQ("Among all nodes, the average per thread  was: 0.134218 Giga Executions/sec.",
              frequency_average_line(mean_per_worker(sum, 4), true));
    // One worker of two seconds: overall and mean agree.
    EXPECT_EQ("Overall, Effective Frequency was: 0.0671089 Giga Executions/sec.",
              frequency_overall_line(134217728.0 / 2));
    EXPECT_EQ("Among all nodes, the average per thread was: 0.0671089 Giga Executions/sec.",
              frequency_average_line(mean_per_worker(134217728.0 / 2, 2), false));
    EXPECT_EQ("Overall, Effective Frequency was: 0 Giga Executions/sec.",
              frequency_overall_line(0.0));
}

TEST(SummaryLines, OverallInMillions) {
    EXPECT_EQ("Overall, It was: 1234.57 Millions Executions/sec.", overall_line(1.23456789e9));
    EXPECT_EQ("Overall, It was: 1.23457e+07 Millions Executions/sec.", overall_line(1.23456789e13));
    EXPECT_EQ("Multi-Thread Improvements: 2 times.", improvement_line(2.0));
}

TEST(EndOfRunLine, NamesTheWholePath) {
    const std::string name = "results_x @ UTC time Tue Dec  8 07:01:02 2026\n @ vm.txt";
    EXPECT_EQ("Results have been saved in a file and you can find it at: /home/u/" + name,
              saved_path_line("/home/u", name, true));
    // A path longer than any fixed buffer is shown whole.
    const std::string deep(5000, 'd');
    EXPECT_EQ("Results have been saved in a file and you can find it at: /" + deep + "/" + name,
              saved_path_line(("/" + deep).c_str(), name, true));
}

TEST(EndOfRunLine, SaysPlainlyWhenNothingWasSavedOrTheDirectoryIsUnknown) {
    const std::string failed = saved_path_line("/ro", "r.txt", false);
    EXPECT_EQ(std::string::npos, failed.find("have been saved"));
    EXPECT_NE(std::string::npos, failed.find("could NOT be saved"));
    EXPECT_NE(std::string::npos, failed.find("/ro/r.txt"));
    const std::string unknown = saved_path_line(nullptr, "r.txt", true);
    EXPECT_NE(std::string::npos, unknown.find(": r.txt"));
    EXPECT_NE(std::string::npos, unknown.find("could not be determined"));
}

} // namespace
