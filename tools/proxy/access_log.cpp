#include "proxy/access_log.hpp"

#include "proxy/config.hpp"

#include <boost/json/string.hpp>
#include <boost/json/serialize.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <ctime>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmar::proxy {
namespace json = boost::json;

namespace {

// The bytes a client's own request id may hold: letters, digits, -_.:/+=@.
constexpr std::array<bool, 256> kIdChars = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("-_.:/+=@").find(static_cast<char>(c)) != std::string_view::npos;
    return t;
}();

// splitmix64's finaliser: a bijection on 64 bits in which every input bit
// reaches every output bit.
std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Two hex digits per byte value, so an id takes 16 table reads.
constexpr std::array<char, 512> kHexPairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 512> t{};
    for (std::size_t b = 0; b < 256; ++b) {
        t[2 * b] = digits[b >> 4];
        t[2 * b + 1] = digits[b & 0xf];
    }
    return t;
}();

std::string fresh_id() {
    // A counter mixed with 128 bits of the system's entropy drawn once: the
    // counter never repeats and the mix is a bijection, so ids are unique
    // within a process, and the seed keeps them apart across restarts. They
    // need not be unpredictable, and this runs for every request that brings
    // no id of its own, so it costs a few multiplications.
    static const std::array<std::uint64_t, 2> seed = [] {
        std::random_device rd;
        auto draw = [&rd] { return (std::uint64_t{rd()} << 32) ^ rd(); };
        return std::array<std::uint64_t, 2>{draw(), draw()};
    }();
    static std::atomic<std::uint64_t> counter{0};
    const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    const std::array<std::uint64_t, 2> halves{mix64(seed[0] + n), mix64(seed[1] ^ mix64(n))};
    std::string id(32, '0');
    char* out = id.data();
    for (std::uint64_t bits : halves)
        for (int shift = 56; shift >= 0; shift -= 8, out += 2)
            std::memcpy(out, &kHexPairs[2 * ((bits >> shift) & 0xff)], 2);
    return id;
}

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0:
// no overlong forms, no surrogates, nothing past U+10FFFF (RFC 3629 4).
std::size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = byte(0);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) len = 2;
    else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) low = 0xa0;
        if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) low = 0x90;
        if (c == 0xf4) high = 0x8f;
    }
    if (len == 0 || s.size() < len || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((byte(k) & 0xc0) != 0x80) return 0;
    return len;
}

// Network input (the target, the model name) may hold any bytes; the log
// stays valid UTF-8 with a '?' for each byte that does not belong.
std::string clean_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = utf8_sequence(s.substr(i));
        if (len == 0) {
            out.push_back('?');
            ++i;
            continue;
        }
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

// A JSON string literal, escaped by hand (the common value is plain ASCII
// and costs one pass, no allocation).
void append_json_string(std::string& out, std::string_view s) {
    std::string cleaned;
    bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) s = cleaned = clean_utf8(s);
    out.push_back('"');
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') out.push_back('\\');
        if (c < 0x20) fmt::format_to(std::back_inserter(out), "\\u{:04x}", c);
        else out.push_back(ch);
    }
    out.push_back('"');
}

double millis(double seconds) { return std::round(seconds * 1e4) / 10.0; }

// A text-format value: bare when it is plain, else JSON-quoted, so that a
// model name with blanks or quotes cannot forge fields.
std::string text_value(std::string_view s) {
    if (s.empty()) return "-";
    for (char c : s)
        if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\\' || static_cast<unsigned char>(c) >= 0x7f)
            return json::serialize(json::string(clean_utf8(s)));
    return std::string(s);
}

template <class T>
std::string text_opt(const std::optional<T>& v) {
    return v ? fmt::format("{}", *v) : "-";
}

}  // namespace

std::string request_id_for(std::string_view header) {
    bool sane = !header.empty() && header.size() <= 128;
    for (char c : header) sane = sane && kIdChars[static_cast<unsigned char>(c)];
    return sane ? std::string(header) : fresh_id();
}

std::string rfc3339_millis(double wall_seconds) {
    auto ms = static_cast<std::int64_t>(std::floor(wall_seconds * 1000.0));
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                       tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
}

std::string format_json(const AccessRecord& r) {
    // Written by hand: the JSON library prints doubles in exponent form
    // ("6E-1"), which no one wants to read in a log.
    std::string out = "{";
    out.reserve(512);
    auto key = [&](std::string_view k) { out.append(out.size() > 1 ? ",\"" : "\"").append(k).append("\":"); };
    auto str = [&](std::string_view k, std::string_view v) {
        key(k);
        if (v.empty()) out += "null";
        else append_json_string(out, v);
    };
    auto num = [&](std::string_view k, auto v, bool present) {
        key(k);
        if (present) fmt::format_to(std::back_inserter(out), "{}", v);
        else out += "null";
    };
    auto ms = [&](std::string_view k, double seconds, bool present) {
        key(k);
        if (present) fmt::format_to(std::back_inserter(out), "{:.1f}", millis(seconds));
        else out += "null";
    };
    str("ts", rfc3339_millis(r.wall_start));
    str("request_id", r.request_id);
    str("client", r.client);
    str("method", r.method);
    str("path", r.path);
    str("model", r.model);
    str("pool", r.pool);
    num("server", r.server.value_or(0), r.server.has_value());
    num("status", r.status, true);
    num("input_tokens", r.input_tokens, r.input_tokens >= 0);
    num("prompt_tokens", r.prompt_tokens.value_or(0), r.prompt_tokens.has_value());
    num("completion_tokens", r.completion_tokens.value_or(0), r.completion_tokens.has_value());
    ms("wait_ms", r.wait, true);
    ms("ttft_ms", r.ttfb, r.ttfb >= 0);
    ms("total_ms", r.total, true);
    num("bytes", r.bytes, true);
    str("note", r.note);
    out += "}";
    return out;
}

std::string format_text(const AccessRecord& r) {
    return fmt::format(
        "{} {} {} id={} client={} model={} pool={} server={} status={} input_tokens={} prompt_tokens={} "
        "completion_tokens={} wait_ms={:.1f} ttft_ms={} total_ms={:.1f} bytes={} note={}",
        rfc3339_millis(r.wall_start), text_value(r.method), text_value(r.path), text_value(r.request_id),
        text_value(r.client), text_value(r.model), text_value(r.pool),
        text_opt(r.server), r.status,
        r.input_tokens < 0 ? std::string("-") : std::to_string(r.input_tokens), text_opt(r.prompt_tokens),
        text_opt(r.completion_tokens), millis(r.wait),
        r.ttfb < 0 ? std::string("-") : fmt::format("{:.1f}", millis(r.ttfb)),
        millis(r.total), r.bytes, text_value(r.note));
}

namespace {

// Opens a log file for appending, without ever waiting. For a named pipe
// (a log shipper reading the log), a blocking open waits for a reader and
// a blocking write for room, and the proxy's one thread would wait with
// them: the descriptor is non-blocking, so the open fails at once (ENXIO)
// when no process reads the pipe, and later writes take what fits.
int open_log_file(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd >= 0) return fd;
    const int error = errno;
    struct stat st {};
    // A configuration error (exit status 2 at a start), whatever the cause.
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        throw ConfigError("$.access_log", fmt::format("cannot open access log {}: a named pipe that no process reads ({})",
                                                      path, std::strerror(error)));
    throw ConfigError("$.access_log", fmt::format("cannot open access log {}: {}", path, std::strerror(error)));
}

}  // namespace

std::string access_log_problem(const std::string& destination) {
    if (destination == "off" || destination == "stderr" || destination == "stdout") return {};
    std::filesystem::path at = destination;
    struct stat st {};
    if (::stat(at.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return "it is a directory";
        return ::access(at.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    }
    // A link to nowhere: the open creates its target, whose folder must exist.
    if (::lstat(at.c_str(), &st) == 0) {
        std::error_code ec;
        std::filesystem::path target = std::filesystem::read_symlink(at, ec);
        if (ec) return ec.message();
        if (target.is_relative()) target = at.parent_path() / target;
        const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return "it links to " + target.string() + ", in a folder that does not exist";
        at = target;  // the folder is checked below
    }
    // The nearest folder that exists must take new entries.
    do at = at.parent_path();
    while (!at.empty() && ::stat(at.c_str(), &st) != 0);
    if (at.empty()) at = ".";
    if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return at.string() + " is not a directory";
    if (::access(at.c_str(), W_OK | X_OK) == 0) return {};
    const int error = errno;
    return at.string() + ": " + std::strerror(error);
}

AccessLog::AccessLog(const std::string& destination, Format format) : destination_(destination), format_(format) {
    if (destination == "off") return;
    if (destination == "stderr" || destination == "stdout") {
        out_ = &LineWriter::standard(destination == "stderr" ? STDERR_FILENO : STDOUT_FILENO);
        return;
    }
    own_ = std::make_unique<LineWriter>(open_log_file(destination));
    out_ = own_.get();
}

bool AccessLog::write(const AccessRecord& r) {
    if (out_ == nullptr) return true;
    std::string line = format_ == Format::json ? format_json(r) : format_text(r);
    line.push_back('\n');
    if (const int error = out_->write(line); error != 0) {
        if (dropping_++ == 0)
            spdlog::warn("access log {}: dropping lines, it takes none now ({})", destination_, std::strerror(error));
        return false;
    }
    if (dropping_ > 0) spdlog::info("access log {}: writing again after dropping {} line(s)", destination_, dropping_);
    dropping_ = 0;
    return true;
}

}  // namespace quillmar::proxy
