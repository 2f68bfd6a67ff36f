// Writing the report. Every line ends with a flushing end of line, so both
// streams hold every completed line even if the run stops early. A line meant
// for both streams goes to the console first, then to the results file.
#pragma once

#include <initializer_list>
#include <string>

void write_console(const std::string& line);
void write_file(const std::string& line);
void write_both(const std::string& line);

// Writes a block of lines to the console, then the same block to the file.
void write_block(std::initializer_list<std::string> lines);

// The average lines of a summary: an empty line and `console_line` on the
// console, then an empty line and `file_line` in the file.
void write_average(const std::string& console_line, const std::string& file_line);

// Opens `fout` on `resultfile` and closes it. A results file that cannot be
// created or written, or a name that holds anything but a regular file, is
// reported once on standard error; the console report goes on unchanged.
void open_results_file();
void close_results_file();
bool results_file_saved();

// Header and result lines of a master's single-process baseline: `blank_lines`
// empty lines, the title, "Force to be single thread."; then the time and rate
// lines and one empty line.
void print_baseline_header(const char* title, int blank_lines);
void print_baseline_result(double seconds, double rate);
