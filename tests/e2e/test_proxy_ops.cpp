// quillmar-proxy operability end to end: the access log, the metrics
// exposition, the admin listener's token, liveness and readiness.
#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QUILLMAR_PROXY_BIN
#error "QUILLMAR_PROXY_BIN must name the quillmar-proxy executable"
#endif
#ifndef QUILLMAR_MOCK_BIN
#error "QUILLMAR_MOCK_BIN must name the quillmar-mock-backend executable"
#endif

namespace {

using namespace e2e;

const std::string kChat = "/v1/chat/completions";

// The shape of an HTTP date, "Sun, 06 Nov 1994 08:49:37 GMT": A an upper-
// case letter, a a lower-case one, 9 a digit, anything else itself.
bool http_date_shaped(const std::string& date) {
    const std::string_view shape = "Aaa, 99 Aaa 9999 99:99:99 GMT";
    if (date.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const auto c = static_cast<unsigned char>(date[i]);
        const bool fits = shape[i] == 'A'   ? std::isupper(c)
                          : shape[i] == 'a' ? std::islower(c)
                          : shape[i] == '9' ? std::isdigit(c)
                                            : c == static_cast<unsigned char>(shape[i]);
        if (!fits) return false;
    }
    return true;
}

std::string chat(const std::string& model, bool stream, int max_tokens) {
    return json::serialize(json::object{{"model", model},
                                        {"stream", stream},
                                        {"max_tokens", max_tokens},
                                        {"messages", json::array{json::object{
                                                         {"role", "user"},
                                                         {"content", "tell me about load balancers, briefly"}}}}});
}

json::object backend_at(std::int64_t id, std::uint16_t port, std::int64_t max_concurrency = 4) {
    return json::object{{"id", id},
                        {"url", "http://127.0.0.1:" + std::to_string(port)},
                        {"max_concurrency", max_concurrency}};
}

// ---- a strict reader of the Prometheus text format -----------------------------------------

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0;
};

// (No std::regex here: g++ 12 warns inside it at -O1, and warnings are errors.)
bool is_name(std::string_view s, bool colon_ok = true) {
    auto ok = [&](char c, bool first) {
        return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || (colon_ok && c == ':') ||
               (!first && std::isdigit(static_cast<unsigned char>(c)));
    };
    if (s.empty() || !ok(s[0], true)) return false;
    return std::all_of(s.begin() + 1, s.end(), [&](char c) { return ok(c, false); });
}

// `name="value",...` into `out`; false when malformed or a name repeats.
bool parse_labels(std::string_view text, std::map<std::string, std::string>& out) {
    while (!text.empty()) {
        std::size_t eq = text.find("=\"");
        if (eq == std::string_view::npos || !is_name(text.substr(0, eq), false)) return false;
        std::string value;
        std::size_t i = eq + 2;
        for (; i < text.size() && text[i] != '"'; ++i) {
            bool bad_escape = text[i] == '\\' && ++i < text.size() &&
                              std::string_view("\"\\n").find(text[i]) == std::string_view::npos;
            if (bad_escape) return false;
            if (i < text.size()) value.push_back(text[i]);
        }
        if (i >= text.size() || !out.emplace(text.substr(0, eq), value).second) return false;
        text.remove_prefix(i + 1);
        if (!text.empty() && (text[0] != ',' || text.size() == 1)) return false;
        if (!text.empty()) text.remove_prefix(1);
    }
    return true;
}

std::optional<Sample> parse_sample(const std::string& line) {
    std::size_t space = line.rfind(' ');
    if (space == std::string::npos) return std::nullopt;
    std::string_view series = std::string_view(line).substr(0, space);
    std::string v = line.substr(space + 1);
    Sample s;
    std::size_t brace = series.find('{');
    s.name = series.substr(0, brace);
    if (!is_name(s.name)) return std::nullopt;
    if (brace != std::string_view::npos &&
        (series.back() != '}' || !parse_labels(series.substr(brace + 1, series.size() - brace - 2), s.labels)))
        return std::nullopt;
    char* end = nullptr;
    s.value = v == "+Inf" ? INFINITY : std::strtod(v.c_str(), &end);
    bool number = v == "+Inf" ||
                  (!v.empty() && *end == '\0' && v != "NaN" && !std::isspace(static_cast<unsigned char>(v[0])));
    if (!number) return std::nullopt;
    return s;
}

// The family a sample belongs to, given the declared types.
std::string family_of(const std::string& name, const std::map<std::string, std::string>& types) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        std::string_view n(name);
        if (!n.ends_with(suffix)) continue;
        std::string base(n.substr(0, n.size() - std::strlen(suffix)));
        auto t = types.find(base);
        if (t != types.end() && (t->second == "histogram" || (t->second == "summary" && suffix[1] != 'b')))
            return base;
    }
    return name;
}

// Histogram series: `le` ascending up to +Inf, counts cumulative, +Inf equal
// to _count, _sum present.
void check_histogram(const std::string& family, const std::vector<Sample>& samples, std::vector<std::string>& bad) {
    std::map<std::string, std::vector<std::pair<double, double>>> buckets;  // series -> (le, count)
    std::map<std::string, double> counts;
    std::set<std::string> sums;
    for (const Sample& s : samples) {
        auto labels = s.labels;
        std::string le = labels["le"];
        labels.erase("le");
        std::string key = json::serialize(json::value_from(labels));
        if (s.name == family + "_bucket") buckets[key].emplace_back(le == "+Inf" ? INFINITY : std::stod(le), s.value);
        if (s.name == family + "_count") counts[key] = s.value;
        if (s.name == family + "_sum") sums.insert(key);
    }
    for (const auto& [key, bs] : buckets) {
        for (std::size_t i = 1; i < bs.size(); ++i)
            if (bs[i].first <= bs[i - 1].first || bs[i].second < bs[i - 1].second)
                bad.push_back(family + key + ": buckets not ascending or not cumulative");
        if (bs.empty() || bs.back().first != INFINITY) bad.push_back(family + key + ": no +Inf bucket");
        else if (!counts.contains(key) || counts[key] != bs.back().second)
            bad.push_back(family + key + ": _count differs from the +Inf bucket");
        if (!sums.contains(key)) bad.push_back(family + key + ": no _sum");
    }
}

// Problems with `text` as a Prometheus exposition; empty when it is valid.
std::vector<std::string> exposition_problems(const std::string& text, std::map<std::string, std::string>& types) {
    std::vector<std::string> bad;
    std::map<std::string, std::vector<Sample>> families;
    std::set<std::string> helps, finished;
    std::string current;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) {
            std::istringstream words(line.substr(7));
            std::string name, rest;
            words >> name >> rest;
            if (!is_name(name) || rest.empty()) bad.push_back("malformed comment: " + line);
            if (line[2] == 'H' && !helps.insert(name).second) bad.push_back("second HELP for " + name);
            if (line[2] == 'T' && !std::set<std::string>{"counter", "gauge", "histogram", "summary"}.contains(rest))
                bad.push_back("unknown type in " + line);
            if (line[2] == 'T' && (!types.emplace(name, rest).second || families.contains(name)))
                bad.push_back("TYPE repeated or after samples: " + line);
            continue;
        }
        auto s = parse_sample(line);
        if (!s) {
            bad.push_back("malformed line: " + line);
            continue;
        }
        std::string family = family_of(s->name, types);
        if (!types.contains(family) || !helps.contains(family)) bad.push_back("no HELP/TYPE for " + s->name);
        if (types[family] == "counter" && !family.ends_with("_total"))
            bad.push_back("counter without _total: " + family);
        if (family != current) {
            if (finished.contains(family)) bad.push_back("family split up: " + family);
            finished.insert(current);
            current = family;
        }
        families[family].push_back(*s);
    }
    for (const auto& [family, samples] : families)
        if (types[family] == "histogram") check_histogram(family, samples, bad);
    return bad;
}

std::string backend_series(const std::string& name, std::int64_t id) {
    return name + "{server=\"" + std::to_string(id) + "\",";
}

// ---- fixture ---------------------------------------------------------------------------------

class ProxyOps : public ::testing::Test {
protected:
    std::string dir_ = temp_dir();
    std::vector<std::unique_ptr<Child>> children_;
    Child* proxy_ = nullptr;

    void TearDown() override {
        for (const auto& c : children_) EXPECT_EQ(c->stop(), 0) << "child " << c->pid();
        if (HasFailure())
            for (const auto& c : children_)
                std::fprintf(stderr, "---- child stderr ----\n%s\n", c->stderr_text().c_str());
    }

    Child& mock(const std::string& name, double ttft_ms = 0) {
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{QUILLMAR_MOCK_BIN, "--port", "0", "--name", name, "--tokens-per-sec", "200",
                                     "--ttft-ms", std::to_string(ttft_ms)},
            dir_ + "/mock-" + name + ".err"));
        return *children_.back();
    }

    std::string log_path() const { return dir_ + "/access.log"; }

    // Models "m" (and more in `models`), loopback listeners on free ports,
    // no health checks, the access log in the test's folder.
    Child& start(json::object models, json::object extra = {}) {
        write_config(std::move(models), std::move(extra));
        children_.push_back(std::make_unique<Child>(
            std::vector<std::string>{QUILLMAR_PROXY_BIN, "--config", dir_ + "/proxy.json"}, dir_ + "/proxy.err"));
        proxy_ = children_.back().get();
        return *proxy_;
    }

    void write_config(json::object models, json::object extra) const {
        json::object cfg{{"listen", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
                         {"admin", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
                         {"routing_mode", "max_concurrency"},
                         {"health_check", json::object{{"interval_sec", 0}}},
                         {"access_log", log_path()},
                         {"models", std::move(models)}};
        for (auto& kv : extra) cfg[kv.key()] = kv.value();
        write_file(dir_ + "/proxy.json", json::serialize(cfg));
    }

    static json::object model(json::array servers) {
        return json::object{{"clusters", json::array{1}}, {"servers", std::move(servers)}};
    }

    // `n` requests for `model`, each answered 200 within 10 s.
    void serve(int n, const std::string& model = "m") {
        for (int i = 0; i < n; ++i) ASSERT_EQ(post(proxy_->port(), kChat, chat(model, false, 1), {}, 10).status, 200);
    }
    double dropped() {
        return value_of(get(proxy_->admin_port(), "/metrics").body, "quillmar_proxy_access_log_dropped_lines_total ");
    }

    std::vector<std::string> log_lines(const std::string& path = "") const {
        std::ifstream in(path.empty() ? log_path() : path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
};

// ---- access log ------------------------------------------------------------------------------

// Every key of a JSON access-log line is there, and `ts` is RFC 3339 UTC
// with milliseconds.
void expect_every_key_and_a_timestamp(const json::object& line) {
    std::set<std::string> keys;
    for (const auto& kv : line) keys.insert(kv.key());
    EXPECT_EQ(keys, (std::set<std::string>{"ts", "request_id", "client", "method", "path", "model", "pool", "server",
                                           "status", "input_tokens", "prompt_tokens", "completion_tokens", "wait_ms",
                                           "ttft_ms", "total_ms", "bytes", "note"}));
    std::string ts(line.at("ts").as_string());
    const std::string shape = "0000-00-00T00:00:00.000Z";  // 0: a digit
    ASSERT_EQ(ts.size(), shape.size()) << ts;
    for (std::size_t i = 0; i < ts.size(); ++i)
        EXPECT_TRUE(shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(ts[i])) != 0 : ts[i] == shape[i]) << ts;
}

TEST_F(ProxyOps, JsonAccessLogCarriesRequestIdUsageAndTimings) {
    Child& a = mock("a");
    // Any integer is a server id, a negative one too.
    start(json::object{{"m", model(json::array{backend_at(-7, a.port())})}});
    struct Case {
        std::string model;
        bool stream;
        std::string client_id;  // X-Request-Id sent, empty for none
        bool kept;              // the client's id is the one used
        int status;
    };
    const std::vector<Case> cases{
        {"m", true, "req-42.a:b", true, 200},
        {"m", false, "", false, 200},
        {"m", false, std::string(129, 'x'), false, 200},
        {"m", false, "bad id\"{", false, 200},
        {"nope", false, "unknown-1", true, 404},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.client_id);
        std::map<std::string, std::string> headers;
        if (!c.client_id.empty()) headers["X-Request-Id"] = c.client_id;
        std::string body = chat(c.model, c.stream, 7);
        Response r = post(proxy_->port(), kChat, body, headers);
        ASSERT_EQ(r.status, c.status) << r.body;
        std::string id = r.header("x-request-id");
        bool generated = id.size() == 32 && std::all_of(id.begin(), id.end(), [](char ch) {
                             return std::isdigit(static_cast<unsigned char>(ch)) || (ch >= 'a' && ch <= 'f');
                         });
        EXPECT_TRUE(c.kept ? id == c.client_id : generated) << id;
        // Dated: the mock sends no Date, and the 404 is the proxy's own.
        EXPECT_TRUE(http_date_shaped(r.header("date"))) << r.header("date");
        if (c.status == 200) {
            EXPECT_EQ(r.header("x-mock-request-id"), id);  // the backend saw the same id
        }

        ASSERT_TRUE(eventually([&] { return log_lines().size() == static_cast<std::size_t>(&c - &cases[0] + 1); }));
        json::object line = json::parse(log_lines().back()).as_object();
        expect_every_key_and_a_timestamp(line);
        EXPECT_EQ(line.at("request_id").as_string(), id);
        EXPECT_EQ(std::string(line.at("client").as_string()).rfind("127.0.0.1:", 0), 0u);
        EXPECT_EQ(line.at("path").as_string(), kChat);
        EXPECT_EQ(line.at("model").as_string(), c.model);
        EXPECT_EQ(line.at("status").to_number<int>(), c.status);
        EXPECT_GT(line.at("bytes").to_number<std::int64_t>(), 0);
        EXPECT_GE(line.at("total_ms").to_number<double>(), 0.0);
        if (c.status != 200) {
            for (const char* key : {"server", "ttft_ms", "prompt_tokens"}) EXPECT_TRUE(line.at(key).is_null()) << key;
            continue;
        }
        EXPECT_EQ(line.at("server").to_number<int>(), -7);
        EXPECT_EQ(line.at("pool").as_string(), "m|1|default");
        EXPECT_GT(line.at("input_tokens").to_number<std::int64_t>(), 0);
        // The mock reports max_tokens as the completion and a quarter of the
        // body's bytes as the prompt, in the body or in the last event.
        EXPECT_EQ(line.at("completion_tokens").to_number<std::int64_t>(), 7);
        EXPECT_EQ(line.at("prompt_tokens").to_number<std::int64_t>(), static_cast<std::int64_t>(body.size() / 4));
        EXPECT_LE(line.at("ttft_ms").to_number<double>(), line.at("total_ms").to_number<double>());
    }
}

TEST_F(ProxyOps, TextAccessLogShowsTheTimeACancelledWaitReallyTook) {
    Child& a = mock("a");
    start(json::object{{"m", model(json::array{backend_at(1, a.port(), 1)})}},
          json::object{{"access_log_format", "text"}, {"queue", json::object{{"enabled", true}, {"ttl_sec", 60}}}});
    RawConnection holder(proxy_->port());
    holder.send_post(kChat, chat("m", true, 400));
    ASSERT_TRUE(holder.read_until("data: "));

    RawConnection parked(proxy_->port());
    parked.send_post(kChat, chat("m", false, 1));
    ASSERT_TRUE(eventually([&] {
        return get(proxy_->admin_port(), "/lb/snapshot").json().at("queue_total_waiters").to_number<int>() == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    parked.close();

    ASSERT_TRUE(eventually([&] {
        auto lines = log_lines();
        return !lines.empty() && lines.back().find(" status=499 ") != std::string::npos;
    })) << (log_lines().empty() ? "" : log_lines().back());
    std::string line = log_lines().back();
    std::size_t wait = line.find(" wait_ms=");
    ASSERT_NE(wait, std::string::npos) << line;
    EXPECT_GE(std::stod(line.substr(wait + 9)), 300.0) << line;
    EXPECT_NE(line.find(" model=m pool=m|1|default "), std::string::npos);
    std::string text = get(proxy_->admin_port(), "/metrics").body;
    EXPECT_EQ(value_of(text, R"(quillmar_proxy_queue_wait_seconds_count{model="m"})"), 1);
    EXPECT_GE(value_of(text, R"(quillmar_proxy_queue_wait_seconds_sum{model="m"})"), 0.3);
    holder.close();
}

// Log rotation renames the file and sends SIGHUP: the reload opens the
// log's name anew, in the format the file names now. A reload whose log
// cannot be opened changes nothing.
TEST_F(ProxyOps, ReloadReopensTheAccessLog) {
    Child& a = mock("a");
    const json::object models{{"m", model(json::array{backend_at(1, a.port())})}};
    start(models);
    auto reload = [&](const json::object& extra, const std::string& counted) {
        write_config(models, extra);
        proxy_->signal(SIGHUP);
        return eventually([&] { return get(proxy_->admin_port(), "/metrics").body.find(counted) != std::string::npos; });
    };
    auto serve_one = [&] { return post(proxy_->port(), kChat, chat("m", false, 1)).status == 200; };
    ASSERT_TRUE(serve_one());
    ASSERT_TRUE(eventually([&] { return log_lines().size() == 1; }));

    std::rename(log_path().c_str(), (log_path() + ".1").c_str());
    ASSERT_TRUE(reload({{"access_log_format", "text"}}, R"(quillmar_proxy_config_reloads_total{result="ok"} 1)"));
    ASSERT_TRUE(serve_one());
    ASSERT_TRUE(eventually([&] { return log_lines().size() == 1; }));
    EXPECT_NE(log_lines()[0].find("POST /v1/chat/completions"), std::string::npos) << log_lines()[0];
    EXPECT_EQ(log_lines(log_path() + ".1").size(), 1u);

    // Logs that cannot be opened: under a file, where no directory can be
    // made, and a named pipe no process reads (waiting for a reader would
    // stall every connection).
    const std::string fifo = log_path() + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> unopenable{log_path() + ".1/access.log", fifo};
    for (std::size_t i = 0; i < unopenable.size(); ++i) {
        ASSERT_TRUE(reload({{"access_log", unopenable[i]}},
                           R"(quillmar_proxy_config_reloads_total{result="failed"} )" + std::to_string(i + 1)))
            << unopenable[i];
        ASSERT_TRUE(serve_one());
        EXPECT_TRUE(eventually([&] { return log_lines().size() == i + 2; }));
        EXPECT_NE(proxy_->stderr_text().find(unopenable[i]), std::string::npos);
    }
}

// Everything a non-blocking read of `fd` has now.
// A log shipper reading the access log from a named pipe may stop reading
// or go away. That costs lines, counted, never requests: the proxy's one
// thread must not wait for room in the pipe, nor die of SIGPIPE. The lines
// that do arrive are whole, and lines flow again once a new reader reads.
TEST_F(ProxyOps, AStalledOrVanishedLogReaderCostsLinesNotRequests) {
    const std::string fifo = dir_ + "/access.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GE(::fcntl(reader, F_SETPIPE_SZ, 4096), 0);  // a few lines fill it
    Child& a = mock("a");
    start(json::object{{"m", model(json::array{backend_at(1, a.port())})}}, {{"access_log", fifo}});
    const int sent = 30;
    // A line is written once its response is: the last may still be on its way.
    serve(sent);
    std::string arrived;
    auto lines = [&] { return std::count(arrived.begin(), arrived.end(), '\n'); };
    EXPECT_TRUE(eventually([&] {
        arrived += read_available(reader);
        return lines() + dropped() == sent;
    })) << lines() << " lines arrived, " << dropped() << " dropped";
    EXPECT_GT(lines(), 0);
    EXPECT_GT(dropped(), 0);
    std::istringstream in(arrived);
    for (std::string line; std::getline(in, line);) EXPECT_TRUE(json::parse(line).is_object()) << line;

    ::close(reader);
    const double before = dropped();
    serve(3);
    EXPECT_TRUE(eventually([&] { return dropped() == before + 3; }));
    reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    serve(1);
    arrived.clear();
    EXPECT_TRUE(eventually([&] {
        arrived += read_available(reader);
        return arrived.find("\"request_id\"") != std::string::npos;
    }));
    ::close(reader);
}

// The same on standard output, which a supervisor or a container runtime
// reads through a pipe. Here nothing reads it after the line with the
// ports, so it fills (64 KiB), and requests go on. Their lines are longer
// than PIPE_BUF (a long model id): a pipe with room for a page must not
// make the proxy wait for room for the rest.
TEST_F(ProxyOps, AFullStandardOutputCostsLinesNotRequests) {
    Child& a = mock("a");
    const std::string long_id(6000, 'L');
    start(json::object{{long_id, model(json::array{backend_at(1, a.port())})}}, {{"access_log", "stdout"}});
    serve(40, long_id);
    EXPECT_TRUE(eventually([&] { return dropped() > 0; }));
}

// Targets and model names are the client's bytes: every line stays valid
// UTF-8 (a '?' for each byte that does not belong), and a configured model
// keeps its whole id in the log and in its metrics labels, however long.
TEST_F(ProxyOps, AccessLogStaysValidUtf8AndModelsKeepTheirWholeId) {
    Child& a = mock("a");
    const std::string long_id = std::string(255, 'L') + "\xc3\xa9";  // 257 bytes, the last character split at 256
    start(json::object{{"m", model(json::array{backend_at(1, a.port())})},
                       {long_id, model(json::array{backend_at(2, a.port())})}});
    struct Case {
        std::string bytes, logged;
    };
    const std::vector<Case> cases{
        {"\xc3\xa9", "\xc3\xa9"},      // well-formed, but a target must be ASCII: refused, logged as sent
        {"\xed\xa0\x80x", "???x"},       // a surrogate
        {"\xc0\xaf", "??"},              // an overlong '/'
        {"\xf4\x90\x80\x80", "????"},   // past U+10FFFF
        {"\xf5\x80\x80\x80", "????"},   // no such lead byte
        {"\xe2\x82", "??"},              // cut short
    };
    for (const Case& c : cases) {
        RawConnection raw(proxy_->port());
        raw.send("POST /v1/" + c.bytes + " HTTP/1.1\r\nHost: p\r\nContent-Length: 0\r\n\r\n");
        ASSERT_TRUE(raw.read_until("HTTP/1.1 400", 10)) << raw.received();
    }
    ASSERT_EQ(post(proxy_->port(), kChat, chat(long_id, false, 1)).status, 200);
    ASSERT_TRUE(eventually([&] { return log_lines().size() == cases.size() + 1; }));
    const std::vector<std::string> lines = log_lines();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        boost::system::error_code ec;
        json::value line = json::parse(lines[i], ec);  // refuses invalid UTF-8
        ASSERT_FALSE(ec) << lines[i];
        EXPECT_EQ(line.at("path").as_string(), "/v1/" + cases[i].logged);
    }
    EXPECT_EQ(json::parse(lines.back()).at("model").as_string(), long_id);
    const std::string text = get(proxy_->admin_port(), "/metrics").body;
    EXPECT_EQ(value_of(text, "quillmar_proxy_ttfb_seconds_count{model=\"" + long_id + "\"}"), 1) << text;
    EXPECT_EQ(value_of(text, "quillmar_proxy_request_duration_seconds_count{model=\"" + long_id + "\"}"), 1);
}

// A stop that outlives its drain: the request still waiting for its
// backend's answer gets 503 and its line, and the one parked meanwhile was
// logged with the time it really waited.
TEST_F(ProxyOps, StopCutsWhatOutlivesTheDrainWithA503AndALogLine) {
    Child& slow = mock("slow", 20000);
    start(json::object{{"m", model(json::array{backend_at(1, slow.port(), 1)})}},
          json::object{{"queue", json::object{{"enabled", true}, {"ttl_sec", 60}}},
                       {"timeouts", json::object{{"drain_sec", 0.5}}}});
    RawConnection thinking(proxy_->port());
    thinking.send_post(kChat, chat("m", false, 1));
    ASSERT_TRUE(eventually([&] { return get(slow.port(), "/mock/stats").json().at("active").to_number<int>() == 1; }));
    RawConnection parked(proxy_->port());
    parked.send_post(kChat, chat("m", false, 1));
    ASSERT_TRUE(eventually([&] {
        return get(proxy_->admin_port(), "/lb/snapshot").json().at("queue_total_waiters").to_number<int>() == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    proxy_->signal(SIGTERM);
    for (RawConnection* c : {&parked, &thinking}) {
        EXPECT_TRUE(c->read_until("shutting_down", 10)) << c->received();
        EXPECT_EQ(c->received().rfind("HTTP/1.1 503", 0), 0u) << c->received();
    }
    EXPECT_EQ(proxy_->wait_exit(10), 0);
    const std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& text : lines) {
        json::object line = json::parse(text).as_object();
        EXPECT_EQ(line.at("status").to_number<int>(), 503) << text;
        EXPECT_EQ(line.at("note").as_string(), "shutting_down") << text;
    }
    // The parked one (refused first) waited from its arrival to the stop.
    EXPECT_GE(json::parse(lines[0]).at("wait_ms").to_number<double>(), 300.0) << lines[0];
}

// ---- metrics ---------------------------------------------------------------------------------

TEST_F(ProxyOps, MetricsListEveryBackendPerModelHistogramsAndTokensInValidExposition) {
    Child& a = mock("a");
    Child& b = mock("b");
    // Model "n" is never asked for: its backend still appears, at 0.
    start(json::object{{"m", model(json::array{backend_at(1, a.port()), backend_at(2, b.port())})},
                       {"n", model(json::array{backend_at(3, closed_port())})}},
          json::object{{"public_metrics", true}});
    std::int64_t prompt = 0;
    for (bool stream : {true, false}) {
        ASSERT_EQ(post(proxy_->port(), kChat, chat("m", stream, 5), {}).status, 200);
        prompt += static_cast<std::int64_t>(chat("m", stream, 5).size() / 4);
    }
    std::string text = get(proxy_->admin_port(), "/metrics").body;
    EXPECT_EQ(get(proxy_->port(), "/metrics").body.substr(0, 40), text.substr(0, 40));  // public_metrics

    std::map<std::string, std::string> types;
    std::vector<std::string> problems = exposition_problems(text, types);
    EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems) << "\n" << text;

    const std::map<std::string, std::string> expected_types{
        {"quillmar_proxy_backend_inflight", "gauge"},        {"quillmar_proxy_backend_up", "gauge"},
        {"quillmar_proxy_backend_sin_binned", "gauge"},      {"quillmar_proxy_backend_failing_checks", "gauge"},
        {"quillmar_proxy_backend_dispatches_total", "counter"}, {"quillmar_proxy_queue_wait_seconds", "histogram"},
        {"quillmar_proxy_ttfb_seconds", "histogram"},        {"quillmar_proxy_request_duration_seconds", "histogram"},
        {"quillmar_proxy_prompt_tokens_total", "counter"},   {"quillmar_proxy_completion_tokens_total", "counter"}};
    for (const auto& [name, type] : expected_types) EXPECT_EQ(types[name], type) << name;

    for (std::int64_t id : {1, 2, 3}) {
        EXPECT_EQ(value_of(text, backend_series("quillmar_proxy_backend_inflight", id)), 0) << id;
        EXPECT_EQ(value_of(text, backend_series("quillmar_proxy_backend_up", id)), 1) << id;
        EXPECT_EQ(value_of(text, backend_series("quillmar_proxy_backend_sin_binned", id)), 0) << id;
    }
    EXPECT_EQ(value_of(text, backend_series("quillmar_proxy_backend_dispatches_total", 1)) +
                  value_of(text, backend_series("quillmar_proxy_backend_dispatches_total", 2)),
              2);
    EXPECT_EQ(value_of(text, backend_series("quillmar_proxy_backend_dispatches_total", 3)), 0);
    EXPECT_EQ(value_of(text, R"(quillmar_proxy_request_duration_seconds_count{model="m"})"), 2);
    EXPECT_EQ(value_of(text, R"(quillmar_proxy_ttfb_seconds_bucket{model="m",le="600"})"), 2);
    EXPECT_EQ(value_of(text, R"(quillmar_proxy_completion_tokens_total{model="m"})"), 10);
    EXPECT_EQ(value_of(text, R"(quillmar_proxy_prompt_tokens_total{model="m"})"), static_cast<double>(prompt));
}

// ---- admin listener, liveness, readiness ----------------------------------------------------------

TEST_F(ProxyOps, AdminListenerDemandsItsBearerTokenAndPublicOneHidesAdminRoutes) {
    Child& a = mock("a");
    const std::string secret = "s3cr3t-token_value";
    write_file(dir_ + "/token", secret + "\n");
    ::setenv("QUILLMAR_E2E_ADMIN_TOKEN", secret.c_str(), 1);
    const std::vector<json::object> sources{{{"admin_token_file", dir_ + "/token"}},
                                            {{"admin_token_env", "QUILLMAR_E2E_ADMIN_TOKEN"}}};
    for (const json::object& source : sources) {
        SCOPED_TRACE(json::serialize(source));
        Child& p = start(json::object{{"m", model(json::array{backend_at(1, a.port())})}}, source);
        struct Case {
            std::uint16_t port;
            std::string path;
            std::string authorization;
            int status;
        };
        const std::vector<Case> cases{
            {p.admin_port(), "/metrics", "", 401},
            {p.admin_port(), "/lb/snapshot", "Bearer wrong", 401},
            {p.admin_port(), "/lb/snapshot", "Bearer " + secret + "x", 401},
            {p.admin_port(), "/lb/routing-mode", "Basic " + secret, 401},
            {p.admin_port(), "/lb/snapshot", "Bearer " + secret, 200},
            {p.admin_port(), "/metrics", "bearer " + secret, 200},
            {p.admin_port(), "/healthz", "", 200},
            {p.admin_port(), "/readyz", "", 200},
            {p.port(), "/healthz", "", 200},
            {p.port(), "/readyz", "", 200},
            {p.port(), "/metrics", "Bearer " + secret, 404},
            {p.port(), "/lb/snapshot", "Bearer " + secret, 404},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.path + " " + c.authorization);
            std::map<std::string, std::string> headers;
            if (!c.authorization.empty()) headers["Authorization"] = c.authorization;
            Response r = request(c.port, http::verb::get, c.path, {}, headers);
            EXPECT_EQ(r.status, c.status) << r.body;
            if (c.status == 401) {
                EXPECT_EQ(r.header("www-authenticate").rfind("Bearer", 0), 0u);
            }
        }
        // Inference through the admin listener needs the token too.
        EXPECT_EQ(post(p.admin_port(), kChat, chat("m", false, 1)).status, 401);
        EXPECT_EQ(p.stop(), 0);
        EXPECT_EQ(p.stderr_text().find(secret), std::string::npos);
        children_.pop_back();
    }
    ::unsetenv("QUILLMAR_E2E_ADMIN_TOKEN");
}

TEST_F(ProxyOps, ReadinessFailsWhileTheLastBackendOfAModelIsSinBinned) {
    Child& a = mock("a");
    start(json::object{{"m", model(json::array{backend_at(1, closed_port())})},
                       {"n", model(json::array{backend_at(2, a.port())})}},
          json::object{{"sin_bin_sec", 2}});
    EXPECT_EQ(get(proxy_->port(), "/readyz").status, 200);

    EXPECT_EQ(post(proxy_->port(), kChat, chat("m", false, 1)).status, 502);  // refused: sin-binned
    for (std::uint16_t port : {proxy_->port(), proxy_->admin_port()}) {
        Response r = get(port, "/readyz");
        EXPECT_EQ(r.status, 503);
        json::object not_ready = r.json().at("not_ready").as_object();
        EXPECT_EQ(not_ready.size(), 1u) << r.body;
        EXPECT_TRUE(not_ready.contains("m")) << r.body;
    }
    EXPECT_EQ(get(proxy_->port(), "/healthz").status, 200);  // alive all along
    EXPECT_TRUE(eventually([&] { return get(proxy_->port(), "/readyz").status == 200; }, 10.0));
}

}  // namespace
