// Captures what the report writes: the console through std::cout's buffer,
// the results file through `fout` opened on a temporary file.
#pragma once

#include "processors64_mpi_mac0.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

class report_capture {
  public:
    report_capture() : saved_(std::cout.rdbuf(console_.rdbuf())) {
        std::snprintf(path_, sizeof path_, "/tmp/p64_unit_%d.txt", static_cast<int>(getpid()));
        fout = std::fopen(path_, "w");
    }
    ~report_capture() {
        std::cout.rdbuf(saved_);
        if (fout) {
            std::fclose(fout);
            fout = nullptr;
        }
        std::remove(path_);
    }
    std::string console() const { return console_.str(); }
    std::string file() {
        std::fflush(fout);
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::ostringstream console_;
    std::streambuf* saved_;
    char path_[64];
};
