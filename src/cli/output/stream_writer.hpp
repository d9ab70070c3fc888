#pragma once
// Buffered output to standard output or standard error. Text is gathered in memory and
// written in large pieces, so a report of thousands of lines costs a handful of system calls.
// A write that fails (a closed pipe: SIGPIPE is ignored, so the write returns EPIPE) is a
// broken invariant of the program: it panics with "failed printing to {stream}: {os text}".
// Not thread-safe; one writer per stream and command.

#include <cstddef>
#include <string>
#include <string_view>

namespace kro::cli {

// Writes all of `text` unbuffered, or as much as the descriptor takes: for output whose loss is
// of no consequence (a progress line, the help after a bare command line).
void write_best_effort(int fd, std::string_view text);

class StreamWriter {
  public:
    static StreamWriter standard_output();
    static StreamWriter standard_error();
    // Any descriptor; `name` is the stream's name in the panic message.
    StreamWriter(int fd, std::string_view name) : fd_(fd), name_(name) {}

    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;
    StreamWriter(StreamWriter&&) = default;
    StreamWriter& operator=(StreamWriter&&) = default;
    // Dropping a writer does not flush: a panic may be unwinding through it. Call `flush`.
    ~StreamWriter() = default;

    // The pending text; renderers append to it directly.
    std::string& buffer() { return buffer_; }
    void write(std::string_view text) { buffer_.append(text); }
    // Passes the pending text on once enough has gathered.
    void flush_if_full() {
        if (buffer_.size() >= FLUSH_THRESHOLD) flush();
    }
    // Writes everything pending; panics when the stream refuses it.
    void flush();

  private:
    static constexpr std::size_t FLUSH_THRESHOLD = 64 * 1024;
    int fd_;
    std::string_view name_;
    std::string buffer_;
};

}  // namespace kro::cli
