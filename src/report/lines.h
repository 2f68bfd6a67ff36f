// The texts of the report: every line the master prints is built here, once,
// and written to the console and the results file by output.h.
#pragma once

#include <ctime>
#include <sstream>
#include <string>

// Joins the parts with the stream's default formatting, which the program
// never changes: doubles in general notation with 6 significant digits.
template <class... Parts> std::string text(const Parts&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    return os.str();
}

extern const char* const TITLE_LINE;

// "results_processors_lite_mac_clusters @ ZONE time ASCTIME @ NAME.txt", with
// the asctime text as the C library gives it, final line feed included.
std::string result_file_name(const std::tm& local, const char* processor_name);

// The streaming tests print rates in millions of executions per second; the
// Effective Frequency test in Giga (divided by a million, then by a thousand).
double millions(double rate);
double giga(double rate);

// Time and rate lines of a master's baseline.
std::string spent_line(double seconds);
std::string rate_line(double rate);

// Time and rate lines of one worker: "Thread:RANK @NAME ...".
std::string thread_spent_line(int rank, const std::string& name, double seconds);
std::string thread_rate_line(int rank, const std::string& name, double rate);

// Summary lines of a streaming test. The results file's average line has two
// blanks before "was:", the console's one.
std::string overall_line(double sum);
std::string improvement_line(double ratio);
std::string average_line(double mean, bool for_file);

// Summary lines of the Effective Frequency test, in Giga.
std::string frequency_overall_line(double sum);
std::string frequency_average_line(double mean, bool for_file);

// The end-of-run line that names the results file. `directory` is null when
// the working directory could not be captured at start.
std::string saved_path_line(const char* directory, const std::string& file_name, bool saved);
