#include "report/output.h"

#include "processors64_mpi_mac0.h"
#include "report/lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace {
bool file_failed = false;

// The first failure of the results file is reported once, with its reason;
// after it nothing more is written to the file, so the console report is not
// disturbed.
void report_file_failure(const char* reason) {
    if (file_failed) {
        return;
    }
    file_failed = true;
    std::cerr << "processors64_mpi_mac0: cannot write the results file \"" << resultfile
              << "\": " << reason << std::endl;
}

void report_system_failure(int reason) {
    report_file_failure(reason ? std::strerror(reason) : "unknown error");
}

// Why something other than a regular file at the results file's name is left
// alone.
const char* not_a_regular_file(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "is a symbolic link; not followed";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO; not opened";
    }
    if (S_ISDIR(mode)) {
        return "is a directory; not opened";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "is a device; not opened";
    }
    if (S_ISSOCK(mode)) {
        return "is a socket; not opened";
    }
    return "is not a regular file; not opened";
}

// The reason to refuse what the descriptor refers to, or null when it is a
// regular file that this run may overwrite. A regular file with a second
// name could be a hard link planted to another file, so it is left alone too.
const char* refusal(const struct stat& opened) {
    if (!S_ISREG(opened.st_mode)) {
        return not_a_regular_file(opened.st_mode);
    }
    if (opened.st_nlink > 1) {
        return "has more than one name (a hard link); not overwritten";
    }
    return nullptr;
}

// Opens `resultfile` for writing so that the writes cannot be redirected: its
// name is predictable to the second, so anyone who can write to the directory
// can plant something there first. A symbolic link is never followed, a FIFO
// never waited on, and only a regular file is written. The check and the
// writes use the same descriptor, so what was checked is what is written.
// Returns the descriptor, or -1 after reporting why not.
int open_regular_file() {
    struct stat planted;
    const char* refused = lstat(resultfile, &planted) == 0 ? refusal(planted) : nullptr;
    if (refused) {
        // Refused before it is opened: opening a device can have effects.
        report_file_failure(refused);
        return -1;
    }
    const int fd = open(resultfile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int reason = errno;
        // Something was planted between the look and the open.
        if (lstat(resultfile, &planted) == 0 && !S_ISREG(planted.st_mode)) {
            report_file_failure(not_a_regular_file(planted.st_mode));
        } else {
            report_system_failure(reason);
        }
        return -1;
    }
    struct stat opened;
    int reason = 0;
    if (fstat(fd, &opened) != 0) {
        reason = errno;
    } else if ((refused = refusal(opened)) == nullptr) {
        // An earlier file of this name (a run in the same second) is rewritten;
        // the writes block as usual.
        const int flags = fcntl(fd, F_GETFL);
        if (ftruncate(fd, 0) == 0 && flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
            return fd;
        }
        reason = errno;
    }
    close(fd);
    if (refused) {
        report_file_failure(refused);
    } else {
        report_system_failure(reason);
    }
    return -1;
}
} // namespace

void write_console(const std::string& line) { std::cout << line << std::endl; }

void write_file(const std::string& line) {
    if (!fout || file_failed) {
        return;
    }
    errno = 0;
    if (std::fputs(line.c_str(), fout) == EOF || std::fputc('\n', fout) == EOF ||
        std::fflush(fout) == EOF) {
        report_system_failure(errno);
    }
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
    const int fd = open_regular_file();
    if (fd < 0) {
        return;
    }
    fout = fdopen(fd, "w");
    if (!fout) {
        report_system_failure(errno);
        close(fd);
    }
}

void close_results_file() {
    if (!fout) {
        return;
    }
    errno = 0;
    if (std::fclose(fout) != 0) {
        report_system_failure(errno);
    }
    fout = nullptr;
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
