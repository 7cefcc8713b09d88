// Collects everything written to standard output (fd 1), whether through
// stdio or straight to the descriptor, between construction and text().
#pragma once
#include <unistd.h>

#include <cstdio>
#include <string>

class StdoutCapture {
  public:
    StdoutCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = dup(1);
        if (file_ != nullptr) dup2(fileno(file_), 1);
    }
    ~StdoutCapture() {
        restore();
        if (file_ != nullptr) std::fclose(file_);
    }

    // Ends the capture and returns what was written.
    std::string text() {
        restore();
        std::string out;
        if (file_ == nullptr) return out;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
        std::fclose(file_);
        file_ = nullptr;
        return out;
    }

    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

  private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }

    std::FILE* file_ = nullptr;
    int saved_ = -1;
};
