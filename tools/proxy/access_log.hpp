// The access log: one line per request, JSON lines (the default) or text,
// written when the request ends. Also the request id every line carries.
#pragma once

#include "proxy/log_output.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmar::proxy {

// The client's X-Request-Id when it is sane (1 to 128 characters out of
// letters, digits and `-_.:/+=@`), else a fresh random id (32 hex digits).
// The header is client input: anything else is replaced, never echoed.
std::string request_id_for(std::string_view client_header);

// Everything one line says. Times are seconds; negative means "never
// happened" (no first byte, no wait), empty strings and counts are absent.
// The strings are views of the request's own: a record is written at once
// and never kept, so building one copies nothing.
struct AccessRecord {
    double wall_start = 0.0;  // wall-clock seconds at the request's arrival
    std::string_view request_id;
    std::string_view client;  // peer address:port
    std::string_view method;
    std::string_view path;
    std::string_view model;
    std::string_view pool;
    std::optional<std::int64_t> server;  // none when no backend was tried (any id is valid)
    int status = 0;
    std::int64_t input_tokens = -1;  // the balancer's estimate
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    double wait = 0.0;
    double ttfb = -1.0;
    double total = 0.0;
    std::uint64_t bytes = 0;
    std::string_view note;
};

// "2026-12-07T11:05:45.123Z" for wall-clock seconds.
std::string rfc3339_millis(double wall_seconds);
// One line without the newline. JSON keys: ts (the arrival time), request_id,
// client, method, path, model, pool, server, status, input_tokens,
// prompt_tokens, completion_tokens, wait_ms, ttft_ms, total_ms, bytes, note;
// absent values are null. Text: the time, method and path bare, then the
// rest as key=value pairs in the same order (the request id as id=); an
// absent value is -, and a string is quoted when it holds anything but
// plain characters.
std::string format_json(const AccessRecord& r);
std::string format_text(const AccessRecord& r);

// Why a start could not open the log at `destination` (a missing file must
// be creatable, in folders that exist or can be made; an existing one
// writable), or empty when it could. Creates nothing: what --check asks.
std::string access_log_problem(const std::string& destination);

class AccessLog {
public:
    enum class Format { json, text };
    // `destination`: "stderr", "stdout", "off" or a file path (appended to,
    // its folders made). Throws ConfigError when the file cannot be
    // opened, a named pipe that no process reads included (waiting for a
    // reader would block the whole proxy until one comes).
    AccessLog(const std::string& destination, Format format);
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;
    // Formats and writes one line through a LineWriter: never waited for.
    // A line the log does not take now is dropped (false), so a log reader
    // that stops reading, or goes away, costs lines, never the proxy's one
    // thread.
    bool write(const AccessRecord& r);

private:
    std::unique_ptr<LineWriter> own_;  // a file or named pipe
    LineWriter* out_ = nullptr;        // nullptr: off
    std::string destination_;
    Format format_;
    std::uint64_t dropping_ = 0;  // lines dropped since the last one written
};

}  // namespace quillmar::proxy
