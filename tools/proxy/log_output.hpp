// Where the proxy's lines go: the access log and the diagnostics. Neither
// may ever wait for its reader: the proxy serves every connection on one
// thread, and a log shipper that stops reading, or a supervisor whose pipe
// is full, would stall them all. A line that does not fit now is dropped
// and counted instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmar::proxy {

// Writes whole lines to a file descriptor without waiting.
class LineWriter {
public:
    // A file or named pipe of the writer's own, opened non-blocking; closed
    // with the writer.
    explicit LineWriter(int owned_fd);
    // The one writer of standard output (fd 1) or error (any other fd). The
    // access log and the diagnostics share it, so neither cuts into a line
    // of the other. These descriptors are shared with whoever started the
    // proxy and stay blocking: on a pipe or socket each write asks first
    // whether there is room.
    static LineWriter& standard(int fd);
    ~LineWriter();
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;

    // Writes `line` (its newline included): one write(2) as a rule, or at
    // most PIPE_BUF bytes per write after a poll on a standard pipe. 0 when
    // it was taken, or the errno of why it was dropped. Lines stay whole:
    // when a full pipe takes only the start of a line, the rest goes first
    // next time.
    int write(std::string_view line);

private:
    LineWriter(int fd, bool owned);
    // Writes what the descriptor takes of `bytes` now; 0 or the errno of
    // what stopped it, with `bytes` left holding what was not taken.
    int put(std::string_view& bytes);
    int drop(int error);

    int fd_;
    bool owned_;
    bool ask_first_ = false;  // poll for room before writing: a blocking pipe or socket
    std::string unwritten_;   // the tail of the last line, when a full pipe took only part of it
};

// Makes spdlog's default logger, and the balancer's, write to standard
// error through its LineWriter. A line standard error does not take is
// dropped; the next one it takes is preceded by a warning saying how many
// were lost.
void log_diagnostics_to_stderr();
// Diagnostic lines dropped since the process started.
std::uint64_t dropped_diagnostic_lines();

}  // namespace quillmar::proxy
