#include "proxy/log_output.hpp"

#include "load_balancer/log.hpp"

#include <fmt/format.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar::proxy {

LineWriter::LineWriter(int owned_fd) : LineWriter(owned_fd, true) {}

LineWriter::LineWriter(int fd, bool owned) : fd_(fd), owned_(owned) {
    if (owned) return;  // opened non-blocking: a write takes what fits
    // Under a container runtime or a supervisor standard output and error
    // are a pipe or a socket whose reader may fall behind.
    struct stat st {};
    ask_first_ = ::fstat(fd_, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

LineWriter& LineWriter::standard(int fd) {
    // Never destroyed: a line logged while the process ends still finds them.
    static LineWriter& out = *new LineWriter(STDOUT_FILENO, false);
    static LineWriter& err = *new LineWriter(STDERR_FILENO, false);
    return fd == STDOUT_FILENO ? out : err;
}

LineWriter::~LineWriter() {
    // A reload replaces the log: the last line's tail gets one more chance.
    std::string_view tail = unwritten_;
    if (!tail.empty()) put(tail);
    if (owned_) ::close(fd_);
}

int LineWriter::put(std::string_view& bytes) {
    while (!bytes.empty()) {
        std::size_t chunk = bytes.size();
        if (ask_first_) {
            // Room for PIPE_BUF bytes is all that a writable pipe promises:
            // a longer write could wait for the rest.
            pollfd room{fd_, POLLOUT, 0};
            if (::poll(&room, 1, 0) <= 0) return EAGAIN;
            chunk = std::min<std::size_t>(chunk, PIPE_BUF);
        }
        const ssize_t n = ::write(fd_, bytes.data(), chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int LineWriter::drop(int error) {
    // The reader that had the start of the unfinished line is gone; a new
    // one starts with a whole line.
    if (error == EPIPE) unwritten_.clear();
    return error;
}

int LineWriter::write(std::string_view line) {
    if (!unwritten_.empty()) {
        std::string_view tail = unwritten_;
        const int error = put(tail);
        unwritten_.erase(0, unwritten_.size() - tail.size());
        if (error != 0) return drop(error);
    }
    std::string_view rest = line;
    const int error = put(rest);
    if (!line.empty() && rest.size() == line.size()) return drop(error);
    unwritten_.assign(rest);
    return 0;
}

namespace {

std::atomic<std::uint64_t> dropped_diagnostics{0};

// spdlog's formatting (its default pattern), LineWriter's writing. The
// proxy logs from its one thread only, hence no mutex.
class DiagnosticsSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (unreported_ > 0) {
            const std::string note =
                fmt::format("standard error took no diagnostics for a while: {} line(s) dropped", unreported_);
            if (!emit(spdlog::details::log_msg(msg.time, {}, msg.logger_name, spdlog::level::warn, note)))
                return count_drop();
            unreported_ = 0;
        }
        if (!emit(msg)) count_drop();
    }
    void flush_() override {}

private:
    bool emit(const spdlog::details::log_msg& msg) {
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        return LineWriter::standard(STDERR_FILENO).write({line.data(), line.size()}) == 0;
    }
    void count_drop() {
        ++unreported_;
        dropped_diagnostics.fetch_add(1, std::memory_order_relaxed);
    }

    std::uint64_t unreported_ = 0;
};

}  // namespace

void log_diagnostics_to_stderr() {
    auto sink = std::make_shared<DiagnosticsSink>();
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("quillmar-proxy", sink));
    // The balancer logs through a logger of its own, which would otherwise
    // write to standard error directly and wait while it is full.
    spdlog::drop(lb::LOGGER_NAME);
    spdlog::initialize_logger(std::make_shared<spdlog::logger>(lb::LOGGER_NAME, sink));
}

std::uint64_t dropped_diagnostic_lines() { return dropped_diagnostics.load(std::memory_order_relaxed); }

}  // namespace quillmar::proxy
