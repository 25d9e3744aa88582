// Trace reading: JSON lines or CSV, checked line by line.
#include "simulate/trace.hpp"

#include "repeated_key.hpp"

#include "load_balancer/values.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace quillmar::lb::sim {

namespace json = boost::json;

namespace {

// A token count beyond this is a unit mistake (bytes, or a timestamp in the
// wrong column), not a request.
constexpr std::int64_t kMaxTokens = 100'000'000;
// The simulator runs at most a week of arrivals.
constexpr double kMaxSpanSec = 7 * 24 * 3600.0;

struct Line {
    std::size_t number;
    std::string_view text;
};

[[noreturn]] void fail(std::size_t line, const std::string& what) {
    throw TraceError(fmt::format("line {}: {}", line, what));
}

std::string_view trim(std::string_view s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<Line> split_lines(std::string_view text) {
    std::vector<Line> out;
    std::size_t number = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        ++number;
        if (!trim(line).empty()) out.push_back({number, trim(line)});
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    }
    return out;
}

std::int64_t token_count(std::optional<std::int64_t> v, std::size_t line, std::string_view what) {
    if (!v) fail(line, fmt::format("{} must be a whole number", what));
    if (*v < 0 || *v > kMaxTokens) fail(line, fmt::format("{} must be between 0 and {} (got {})", what, kMaxTokens, *v));
    return *v;
}

// ---- JSON lines ------------------------------------------------------------

std::optional<std::int64_t> json_whole(const json::value& v) {
    if (v.is_int64()) return v.get_int64();
    // Anything past the limit reads as just past it, to be refused as out of range.
    if (v.is_uint64()) return static_cast<std::int64_t>(std::min<std::uint64_t>(v.get_uint64(), kMaxTokens + 1));
    if (v.is_double() && std::isfinite(v.get_double()) && std::trunc(v.get_double()) == v.get_double() &&
        std::fabs(v.get_double()) < 9.0e15)
        return static_cast<std::int64_t>(v.get_double());
    return std::nullopt;
}

// The first of `keys` present and not null.
const json::value* first_of(const json::object& o, std::initializer_list<std::string_view> keys) {
    for (std::string_view k : keys) {
        auto it = o.find(k);
        if (it != o.end() && !it->value().is_null()) return &it->value();
    }
    return nullptr;
}

double json_time(const json::object& o, std::size_t line) {
    const json::value* v = first_of(o, {"ts", "t"});
    if (v == nullptr) fail(line, "has no arrival time (\"ts\" or \"t\")");
    if (v->is_string()) {
        auto t = parse_rfc3339(v->get_string());
        if (!t) fail(line, "arrival time is not an RFC 3339 date-time (got \"" + std::string(v->get_string()) + "\")");
        return *t;
    }
    if (!v->is_number() || !std::isfinite(v->to_number<double>()))
        fail(line, "arrival time must be epoch seconds or an RFC 3339 text");
    return v->to_number<double>();
}

// Fills `out` from one JSON line; false when the line has no input tokens.
bool json_request(const Line& l, TraceRequest& out) {
    boost::system::error_code ec;
    json::value doc = json::parse(l.text, ec);
    if (ec) fail(l.number, "not valid JSON: " + ec.message());
    if (const auto repeated = tools_json::first_repeated_key(l.text))
        fail(l.number, "names the key \"" + repeated->key + "\" twice");
    if (!doc.is_object()) fail(l.number, "must be a JSON object");
    const json::object& o = doc.get_object();
    out.t = json_time(o, l.number);
    if (const json::value* m = first_of(o, {"model"})) {
        if (!m->is_string()) fail(l.number, "model must be text");
        out.model = std::string(m->get_string());
    }
    const json::value* in = first_of(o, {"input_tokens", "prompt_tokens"});
    if (in == nullptr) return false;
    out.input_tokens = token_count(json_whole(*in), l.number, "input tokens");
    if (const json::value* o_tok = first_of(o, {"output_tokens", "completion_tokens"}))
        out.output_tokens = token_count(json_whole(*o_tok), l.number, "output tokens");
    return true;
}

// ---- CSV -------------------------------------------------------------------

enum Column : std::size_t { kTime, kModel, kInput, kOutput, kColumns };
constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

std::vector<std::string_view> cells(std::string_view row) {
    std::vector<std::string_view> out;
    for (;;) {
        const auto comma = row.find(',');
        out.push_back(trim(row.substr(0, comma)));
        if (comma == std::string_view::npos) return out;
        row = row.substr(comma + 1);
    }
}

std::array<std::size_t, kColumns> csv_header(const Line& l, std::size_t& width) {
    std::array<std::size_t, kColumns> at;
    at.fill(kAbsent);
    const std::vector<std::string_view> names = cells(l.text);
    width = names.size();
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::size_t c = names[i] == "t" || names[i] == "ts"   ? kTime
                        : names[i] == "model"                 ? kModel
                        : names[i] == "input_tokens"          ? kInput
                        : names[i] == "output_tokens"         ? kOutput
                                                              : kAbsent;
        if (c == kAbsent) fail(l.number, "unknown column \"" + std::string(names[i]) + "\"");
        if (at[c] != kAbsent) fail(l.number, "column \"" + std::string(names[i]) + "\" appears twice");
        at[c] = i;
    }
    if (at[kTime] == kAbsent || at[kInput] == kAbsent)
        fail(l.number, "the header must name a time column (\"t\" or \"ts\") and \"input_tokens\"");
    return at;
}

TraceRequest csv_request(const Line& l, const std::array<std::size_t, kColumns>& at, std::size_t width) {
    const std::vector<std::string_view> row = cells(l.text);
    if (row.size() != width) fail(l.number, fmt::format("has {} cells, the header {}", row.size(), width));
    TraceRequest r;
    const std::string_view t = row[at[kTime]];
    std::optional<double> secs = parse_float_text(t);
    if (!secs) secs = parse_rfc3339(t);
    if (!secs || !std::isfinite(*secs)) fail(l.number, "time must be seconds or an RFC 3339 date-time");
    r.t = *secs;
    if (at[kModel] != kAbsent) r.model = std::string(row[at[kModel]]);
    r.input_tokens = token_count(parse_int_text(row[at[kInput]]), l.number, "input_tokens");
    if (at[kOutput] != kAbsent && !row[at[kOutput]].empty())
        r.output_tokens = token_count(parse_int_text(row[at[kOutput]]), l.number, "output_tokens");
    return r;
}

void add(Trace& trace, TraceRequest r, std::size_t line) {
    if (trace.requests.size() >= kMaxTraceRequests)
        fail(line, fmt::format("more than {} requests in one trace", kMaxTraceRequests));
    trace.requests.push_back(std::move(r));
}

// Arrival times from the earliest request on, in arrival order.
void rebase(Trace& trace) {
    if (trace.requests.empty()) throw TraceError("holds no requests");
    std::stable_sort(trace.requests.begin(), trace.requests.end(),
                     [](const TraceRequest& a, const TraceRequest& b) { return a.t < b.t; });
    const double t0 = trace.requests.front().t;
    if (trace.requests.back().t - t0 > kMaxSpanSec) throw TraceError("spans more than one week");
    for (TraceRequest& r : trace.requests) r.t -= t0;
}

}  // namespace

Trace parse_trace(std::string_view text) {
    const std::vector<Line> lines = split_lines(text);
    Trace trace;
    if (!lines.empty() && lines.front().text.front() == '{') {
        for (const Line& l : lines) {
            TraceRequest r;
            if (json_request(l, r))
                add(trace, std::move(r), l.number);
            else
                ++trace.skipped;
        }
    } else if (!lines.empty()) {
        std::size_t width = 0;
        const auto at = csv_header(lines.front(), width);
        for (std::size_t i = 1; i < lines.size(); ++i) add(trace, csv_request(lines[i], at, width), lines[i].number);
    }
    rebase(trace);
    return trace;
}

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// `n` decimal digits at `s[pos]`, or -1.
int digits(std::string_view s, std::size_t pos, std::size_t n) {
    if (pos + n > s.size()) return -1;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

std::optional<double> parse_rfc3339(std::string_view s) {
    // YYYY-MM-DDTHH:MM:SS
    const int y = digits(s, 0, 4), mo = digits(s, 5, 2), d = digits(s, 8, 2);
    const int h = digits(s, 11, 2), mi = digits(s, 14, 2), sec = digits(s, 17, 2);
    if (y < 0 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || sec < 0 || sec > 60)
        return std::nullopt;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d > kDays[mo - 1] + (mo == 2 && is_leap(y) ? 1 : 0)) return std::nullopt;
    if (s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != 't' && s[10] != ' ') || s[13] != ':' || s[16] != ':')
        return std::nullopt;
    std::size_t pos = 19;
    double frac = 0.0;
    if (pos < s.size() && s[pos] == '.') {
        double scale = 0.1;
        const std::size_t first = ++pos;
        for (; pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++pos, scale /= 10) frac += (s[pos] - '0') * scale;
        if (pos == first) return std::nullopt;
    }
    std::int64_t offset = 0;
    if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
        ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        const int oh = digits(s, pos + 1, 2), om = digits(s, pos + 4, 2);
        if (oh < 0 || oh > 23 || om < 0 || om > 59 || s[pos + 3] != ':') return std::nullopt;
        offset = (s[pos] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    const std::int64_t secs = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offset;
    return static_cast<double>(secs) + frac;
}

}  // namespace quillmar::lb::sim
