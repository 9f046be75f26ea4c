// A stream held in memory, for tests that stand it in for standard output
// or standard error of the output engine.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace outtest {

class CapturedStream {
public:
    CapturedStream() : file_(open_memstream(&buffer_, &length_)) {}
    ~CapturedStream()
    {
        if (file_)
            std::fclose(file_);
        std::free(buffer_);
    }
    CapturedStream(const CapturedStream &) = delete;
    CapturedStream &operator=(const CapturedStream &) = delete;

    FILE *file() const { return file_; }
    // Everything written so far.
    std::string text()
    {
        std::fflush(file_);
        return std::string(buffer_, length_);
    }

private:
    char *buffer_ = nullptr;
    size_t length_ = 0;
    FILE *file_ = nullptr;
};

}  // namespace outtest
