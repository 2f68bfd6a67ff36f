#include "report/output.h"

#include "processors64_mpi_mac0.h"
#include "report/lines.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace {
bool file_failed = false;

// Called after every operation on the results file: the first failure is
// reported with the system's reason; later writes to a failed stream are
// no-ops, so the console report is not disturbed.
void check_results_file() {
    if (file_failed || !fout.fail()) {
        return;
    }
    file_failed = true;
    const int reason = errno;
    std::cerr << "processors64_mpi_mac0: cannot write the results file \"" << resultfile
              << "\": " << (reason ? std::strerror(reason) : "unknown error") << std::endl;
}
} // namespace

void write_console(const std::string& line) { std::cout << line << std::endl; }

void write_file(const std::string& line) {
    errno = 0;
    fout << line << std::endl;
    check_results_file();
}

void write_both(const std::string& line) {
    write_console(line);
    write_file(line);
}

void write_block(std::initializer_list<std::string> lines) {
    for (const std::string& line : lines) {
        write_console(line);
    }
    for (const std::string& line : lines) {
        write_file(line);
    }
}

void write_average(const std::string& console_line, const std::string& file_line) {
    write_console("");
    write_console(console_line);
    write_file("");
    write_file(file_line);
}

void open_results_file() {
    errno = 0;
    fout.open(resultfile, std::ios::out);
    check_results_file();
}

void close_results_file() {
    errno = 0;
    fout.close();
    check_results_file();
}

bool results_file_saved() { return !file_failed; }

void print_baseline_header(const char* title, int blank_lines) {
    for (int i = 0; i < blank_lines; ++i) {
        write_both("");
    }
    write_both(title);
    write_both("Force to be single thread.");
}

void print_baseline_result(double seconds, double rate) {
    write_block({spent_line(seconds), rate_line(rate)});
    write_both("");
}
