#pragma once
// Whole texts onto one file descriptor. One text is written at a time, so
// texts from different threads never mix; a short write is resumed, an
// interrupted one retried, and a descriptor in non-blocking mode that is
// full is waited on until it takes more. The first failure ends the stream:
// later texts are dropped, and the error stays for the program to report.
#include <atomic>
#include <mutex>
#include <string_view>

namespace vesk {

class StreamWriter {
public:
    explicit StreamWriter(int fd) : fd_(fd) {}
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;

    // False when the text was not written whole, because the stream failed
    // now or before.
    bool write(std::string_view text);

    // The error number that ended the stream; 0 while it works.
    int error() const { return error_.load(); }

    // Lets the text being written finish and keeps every later one waiting
    // for good; for the moment right before the process ends.
    void hold();

private:
    int fd_;
    std::mutex mutex_;
    std::atomic<int> error_{0};
};

// The process's standard streams. A standard output that is closed when it
// is first asked for fails its first write as a closed descriptor does.
StreamWriter& standard_output();
StreamWriter& standard_error();

}  // namespace vesk
