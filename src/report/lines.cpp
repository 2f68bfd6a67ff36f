#include "report/lines.h"

#include <cstdio>

const char* const TITLE_LINE =
    "Pelvorn :: Quindara Benchmark MultiProcessor Lite for Mac Clusters on x86 64bit system "
    "2020.04.21.";

namespace {
const char* const MILLIONS_UNIT = " Millions Executions/sec.";
const char* const GIGA_UNIT = " Giga Executions/sec.";
const char* const AVERAGE_CONSOLE = "Among all nodes, the average per thread was: ";
const char* const AVERAGE_FILE = "Among all nodes, the average per thread  was: ";
} // namespace

std::string result_file_name(const std::tm& local, const char* processor_name) {
    char name[1024];
    std::snprintf(name, sizeof name, "results_processors_lite_mac_clusters @ %s time %s @ %s.txt",
                  local.tm_zone, std::asctime(&local), processor_name);
    return name;
}

double millions(double rate) { return rate / 1000000.0; }
double giga(double rate) { return rate / 1000000.0 / 1000.0; }

std::string spent_line(double seconds) { return text("The system spent: ", seconds, " Secs. "); }
std::string rate_line(double rate) { return text("It was: ", millions(rate), MILLIONS_UNIT); }

std::string thread_spent_line(int rank, const std::string& name, double seconds) {
    return text("Thread:", rank, " @", name, " ", spent_line(seconds));
}

std::string thread_rate_line(int rank, const std::string& name, double rate) {
    return text("Thread:", rank, " @", name, " ", rate_line(rate));
}

std::string overall_line(double sum) {
    return text("Overall, It was: ", millions(sum), MILLIONS_UNIT);
}

std::string improvement_line(double ratio) {
    return text("Multi-Thread Improvements: ", ratio, " times.");
}

std::string average_line(double mean, bool for_file) {
    return text(for_file ? AVERAGE_FILE : AVERAGE_CONSOLE, millions(mean), MILLIONS_UNIT);
}

std::string frequency_overall_line(double sum) {
    return text("Overall, Effective Frequency was: ", giga(sum), GIGA_UNIT);
}

std::string frequency_average_line(double mean, bool for_file) {
    return text(for_file ? AVERAGE_FILE : AVERAGE_CONSOLE, giga(mean), GIGA_UNIT);
}

std::string saved_path_line(const char* directory, const std::string& file_name, bool saved) {
    // The path is built as a string, so a long working directory is shown whole.
    const std::string path = directory ? text(directory, "/", file_name) : file_name;
    const char* where =
        directory ? "" : " (in the working directory, whose path could not be determined)";
    if (saved) {
        return text("Results have been saved in a file and you can find it at: ", path, where);
    }
    return text("Results could NOT be saved; the results file it tried to write was: ", path,
                where);
}
