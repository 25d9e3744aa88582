// quillmar-mock-backend: an OpenAI-compatible fake model server for tests,
// demos and benchmarks.
//
//   quillmar-mock-backend --port 0 --name a --ttft-ms 50 --tokens-per-sec 200
//
// Serves POST /v1/chat/completions and /v1/completions (streaming with
// "stream": true, as server-sent events), POST /v1/embeddings, GET /health,
// plus test controls: GET /mock/stats (requests seen, requests active, the
// peak of active requests, connections accepted), DELETE /mock/stats (peak back to the current
// active count) and PUT /mock/health with "ok" or "fail" (what /health
// answers).
//
// Time to first token and tokens per second degrade with the server's own
// concurrency: with k requests active, the first token waits
// ttft * (1 + slowdown * (k - 1)) and each further token
// 1 / tps * (1 + slowdown * (k - 1)). Failure injection draws from one
// generator seeded with --seed in request arrival order, and every response
// body is a function of the request and the seed only, so runs repeat.
//
// With --tls-cert and --tls-key it serves HTTPS instead.
//
// Prints {"port":N} on standard output once it listens.
#include "proxy/stream.hpp"

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <string>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = net::ip::tcp;
using quillmar::proxy::Stream;
using net::awaitable;
using net::use_awaitable;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

namespace {

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string name = "mock";
    std::uint64_t seed = 1;
    double ttft_ms = 0.0;
    double tokens_per_sec = 0.0;  // 0: no delay between tokens
    double slowdown = 0.0;        // per extra concurrent request
    int default_tokens = 16;
    int max_tokens = 4096;
    int embedding_dim = 8;
    double error_rate = 0.0;
    double hang_rate = 0.0;
    double close_mid_stream_rate = 0.0;
    std::uint64_t refuse_after = 0;  // 0: never
    std::string tls_cert;            // both set: HTTPS
    std::string tls_key;
};

// FNV-1a: a stable hash of the request, for ids and embedding values.
std::uint64_t fnv1a(std::string_view s, std::uint64_t seed) {
    std::uint64_t h = 1469598103934665603ull ^ seed;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

class Mock {
public:
    Mock(net::io_context& io, Options opt) : io_(io), opt_(std::move(opt)), rng_(opt_.seed), acceptor_(io) {}

    std::uint16_t start() {
        if (!opt_.tls_cert.empty()) tls_ = quillmar::proxy::make_server_context(opt_.tls_cert, opt_.tls_key);
        tcp::endpoint ep(net::ip::make_address(opt_.host), static_cast<std::uint16_t>(opt_.port));
        acceptor_.open(ep.protocol());
        acceptor_.set_option(net::socket_base::reuse_address(true));
        acceptor_.bind(ep);
        acceptor_.listen(net::socket_base::max_listen_connections);
        net::co_spawn(io_, accept_loop(), net::detached);
        return acceptor_.local_endpoint().port();
    }

private:
    enum class Fault { none, error, hang, close_mid_stream };

    awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] = co_await acceptor_.async_accept(use_tuple);
            if (ec) {
                if (!acceptor_.is_open()) co_return;
                continue;
            }
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            ++connections_;
            net::co_spawn(io_, session(Stream(std::move(socket), tls_)), net::detached);
        }
    }

    Fault draw_fault() {
        // Always three draws per request, so one rate does not shift the
        // sequence of another.
        std::uniform_real_distribution<double> u(0.0, 1.0);
        double e = u(rng_), h = u(rng_), c = u(rng_);
        if (e < opt_.error_rate) return Fault::error;
        if (h < opt_.hang_rate) return Fault::hang;
        if (c < opt_.close_mid_stream_rate) return Fault::close_mid_stream;
        return Fault::none;
    }

    double factor() const { return 1.0 + opt_.slowdown * static_cast<double>(std::max<int>(0, active_ - 1)); }

    awaitable<void> pause(double seconds) {
        if (seconds <= 0) co_return;
        net::steady_timer t(io_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(seconds)));
        co_await t.async_wait(use_awaitable);
    }

    awaitable<void> session(Stream stream) {
        beast::flat_buffer buffer;
        try {
            if (co_await quillmar::proxy::accept_tls(stream, std::chrono::seconds(10))) co_return;
            for (;;) {
                http::request<http::string_body> req;
                auto [ec, n] = co_await http::async_read(stream, buffer, req, use_tuple);
                if (ec) break;
                bool keep = co_await handle(stream, req);
                if (!keep) break;
            }
        } catch (const std::exception&) {
        }
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.close();
    }

    // Tells a test which request id and forwarded-for list reached the backend.
    template <class Response>
    static void echo_seen_headers(const http::request<http::string_body>& req, Response& res) {
        if (auto it = req.find("x-request-id"); it != req.end()) res.set("x-mock-request-id", it->value());
        if (auto it = req.find("x-forwarded-for"); it != req.end()) res.set("x-mock-forwarded-for", it->value());
    }

    awaitable<bool> send(Stream& stream, const http::request<http::string_body>& req, http::status status,
                         std::string body) {
        http::response<http::string_body> res{status, req.version()};
        res.set(http::field::content_type, "application/json");
        res.set("x-mock-server", opt_.name);
        echo_seen_headers(req, res);
        res.keep_alive(req.keep_alive() && !refusing_);
        res.body() = std::move(body);
        res.prepare_payload();
        auto [ec, n] = co_await http::async_write(stream, res, use_tuple);
        co_return !ec && res.keep_alive();
    }

    awaitable<bool> handle(Stream& stream, http::request<http::string_body>& req) {
        std::string_view target = req.target();
        if (req.method() == http::verb::get && target == "/health")
            co_return co_await send(stream, req, healthy_ ? http::status::ok : http::status::service_unavailable,
                                    healthy_ ? R"({"status":"ok"})" : R"({"status":"failing"})");
        if (req.method() == http::verb::get && target == "/mock/stats") {
            // Built before the co_await: g++ 12 cannot keep an initializer
            // list's array alive across a suspension in one full-expression.
            std::string stats = json::serialize(json::object{
                {"name", opt_.name}, {"requests", requests_}, {"active", active_}, {"peak_active", peak_active_},
                {"cancelled", cancelled_}, {"connections", connections_}});
            co_return co_await send(stream, req, http::status::ok, std::move(stats));
        }
        if (req.method() == http::verb::delete_ && target == "/mock/stats") {
            peak_active_ = active_;
            co_return co_await send(stream, req, http::status::ok, std::string(R"({"reset":true})"));
        }
        if (req.method() == http::verb::put && target == "/mock/health") {
            healthy_ = req.body().find("fail") == std::string::npos;
            co_return co_await send(stream, req, http::status::ok, healthy_ ? R"({"health":"ok"})" : R"({"health":"fail"})");
        }
        const bool chat = target == "/v1/chat/completions";
        const bool completion = target == "/v1/completions";
        const bool embeddings = target == "/v1/embeddings";
        if (req.method() != http::verb::post || !(chat || completion || embeddings))
            co_return co_await send(stream, req, http::status::not_found, std::string(R"({"error":{"message":"not found"}})"));

        ++requests_;
        if (opt_.refuse_after > 0 && requests_ >= opt_.refuse_after && !refusing_) {
            // Later connections are refused; this one ends after its answer.
            refusing_ = true;
            beast::error_code ignored;
            acceptor_.close(ignored);
        }
        boost::system::error_code jec;
        json::value body = json::parse(req.body(), jec);
        if (jec || !body.is_object())
            co_return co_await send(stream, req, http::status::bad_request,
                                    std::string(R"({"error":{"message":"invalid JSON body","type":"invalid_request_error"}})"));
        const json::object& obj = body.as_object();
        std::string model = "mock-model";
        if (auto* m = obj.if_contains("model"); m && m->is_string()) model = m->as_string();

        Fault fault = draw_fault();
        ++active_;
        peak_active_ = std::max(peak_active_, active_);
        struct ActiveGuard {
            int& n;
            ~ActiveGuard() { --n; }
        } guard{active_};

        if (fault == Fault::error)
            co_return co_await send(stream, req, http::status::internal_server_error,
                                    std::string(R"({"error":{"message":"injected failure","type":"server_error"}})"));
        if (fault == Fault::hang) {
            // Never answer; wait for the client to give up.
            char byte;
            co_await stream.socket().async_read_some(net::buffer(&byte, 1), net::as_tuple(use_awaitable));
            ++cancelled_;
            co_return false;
        }

        if (embeddings) co_return co_await send(stream, req, http::status::ok, embedding(obj, model));

        int tokens = opt_.default_tokens;
        static constexpr std::array<std::string_view, 2> token_keys{"max_tokens", "max_completion_tokens"};
        for (std::string_view key : token_keys)
            if (auto* v = obj.if_contains(key); v && v->is_int64()) tokens = static_cast<int>(v->as_int64());
        tokens = std::clamp(tokens, 1, opt_.max_tokens);
        bool stream_mode = false;
        if (auto* s = obj.if_contains("stream"); s && s->is_bool()) stream_mode = s->as_bool();
        const std::uint64_t h = fnv1a(req.body(), opt_.seed);
        const std::string id = fmt::format("{}-{:016x}", chat ? "chatcmpl" : "cmpl", h);
        const double token_gap = opt_.tokens_per_sec > 0 ? 1.0 / opt_.tokens_per_sec : 0.0;

        co_await pause(opt_.ttft_ms / 1000.0 * factor());
        if (!stream_mode) {
            co_await pause(token_gap * factor() * (tokens - 1));
            std::string text;
            for (int i = 0; i < tokens; ++i) text += word(h, i);
            std::string out = completion_body(chat, id, model, text, tokens, obj);
            if (fault == Fault::close_mid_stream) {
                // Promise the whole body, send half, hang up.
                http::response<http::empty_body> res{http::status::ok, req.version()};
                res.set(http::field::content_type, "application/json");
                res.content_length(out.size());
                http::response_serializer<http::empty_body> sr{res};
                co_await http::async_write_header(stream, sr, use_awaitable);
                co_await net::async_write(stream, net::buffer(out.data(), out.size() / 2), use_awaitable);
                co_return false;
            }
            co_return co_await send(stream, req, http::status::ok, std::move(out));
        }

        http::response<http::empty_body> res{http::status::ok, req.version()};
        res.set(http::field::content_type, "text/event-stream");
        res.set(http::field::cache_control, "no-cache");
        res.set("x-mock-server", opt_.name);
        echo_seen_headers(req, res);
        res.chunked(true);
        res.keep_alive(req.keep_alive() && !refusing_);
        http::response_serializer<http::empty_body> sr{res};
        auto [hec, hn] = co_await http::async_write_header(stream, sr, use_tuple);
        if (hec) co_return false;
        auto event = [&](const json::object& data) { return "data: " + json::serialize(data) + "\n\n"; };
        for (int i = 0; i < tokens; ++i) {
            if (i > 0) co_await pause(token_gap * factor());
            if (fault == Fault::close_mid_stream && i == tokens / 2) co_return false;
            std::string piece = word(h, i);
            json::object choice{{"index", 0}, {"finish_reason", nullptr}};
            if (chat) {
                json::object delta{{"content", piece}};
                if (i == 0) delta["role"] = "assistant";
                choice["delta"] = std::move(delta);
            } else {
                choice["text"] = piece;
            }
            std::string ev = event(chunk_object(chat, id, model, std::move(choice)));
            auto [wec, wn] = co_await net::async_write(stream, http::make_chunk(net::buffer(ev)), use_tuple);
            if (wec) {
                ++cancelled_;
                co_return false;
            }
        }
        json::object last_choice{{"index", 0}, {"finish_reason", "stop"}};
        if (chat) last_choice["delta"] = json::object{};
        else last_choice["text"] = "";
        json::object last = chunk_object(chat, id, model, std::move(last_choice));
        last["usage"] = usage(obj, tokens);
        std::string tail = event(last) + "data: [DONE]\n\n";
        auto [tec, tn] = co_await net::async_write(stream, http::make_chunk(net::buffer(tail)), use_tuple);
        if (tec) co_return false;
        auto [lec, ln] = co_await net::async_write(stream, http::make_chunk_last(), use_tuple);
        co_return !lec && res.keep_alive();
    }

    static std::string word(std::uint64_t h, int i) {
        static constexpr std::array<std::string_view, 8> words{"lorem", "ipsum", "dolor", "sit",
                                                               "amet",  "quill", "mar",   "token"};
        return fmt::format("{}{} ", words[(h >> (i % 48)) % words.size()], i);
    }

    static json::object usage(const json::object& req, int completion_tokens) {
        std::int64_t prompt = static_cast<std::int64_t>(json::serialize(req).size() / 4);
        return json::object{{"prompt_tokens", prompt},
                            {"completion_tokens", completion_tokens},
                            {"total_tokens", prompt + completion_tokens}};
    }

    json::object chunk_object(bool chat, const std::string& id, const std::string& model, json::object choice) const {
        return json::object{{"id", id},
                            {"object", chat ? "chat.completion.chunk" : "text_completion"},
                            {"created", 1700000000},
                            {"model", model},
                            {"system_fingerprint", opt_.name},
                            {"choices", json::array{std::move(choice)}}};
    }

    std::string completion_body(bool chat, const std::string& id, const std::string& model, const std::string& text,
                                int tokens, const json::object& req) const {
        json::object choice{{"index", 0}, {"finish_reason", "stop"}};
        if (chat) choice["message"] = json::object{{"role", "assistant"}, {"content", text}};
        else choice["text"] = text;
        return json::serialize(json::object{{"id", id},
                                            {"object", chat ? "chat.completion" : "text_completion"},
                                            {"created", 1700000000},
                                            {"model", model},
                                            {"system_fingerprint", opt_.name},
                                            {"choices", json::array{std::move(choice)}},
                                            {"usage", usage(req, tokens)}});
    }

    std::string embedding(const json::object& req, const std::string& model) const {
        std::vector<std::string> inputs;
        if (auto* in = req.if_contains("input")) {
            if (in->is_array()) {
                for (const auto& v : in->as_array()) inputs.push_back(json::serialize(v));
            } else {
                inputs.push_back(json::serialize(*in));
            }
        }
        json::array data;
        std::int64_t index = 0;
        for (const auto& text : inputs) {
            std::uint64_t h = fnv1a(text, opt_.seed);
            json::array vec;
            for (int d = 0; d < opt_.embedding_dim; ++d) {
                h = h * 6364136223846793005ull + 1442695040888963407ull;
                vec.push_back(static_cast<double>(h >> 11) / static_cast<double>(1ull << 53) * 2.0 - 1.0);
            }
            data.push_back(json::object{{"object", "embedding"}, {"index", index++}, {"embedding", std::move(vec)}});
        }
        std::int64_t prompt = static_cast<std::int64_t>(json::serialize(req).size() / 4);
        return json::serialize(json::object{{"object", "list"},
                                            {"data", std::move(data)},
                                            {"model", model},
                                            {"usage", json::object{{"prompt_tokens", prompt}, {"total_tokens", prompt}}}});
    }

    net::io_context& io_;
    Options opt_;
    std::mt19937_64 rng_;
    tcp::acceptor acceptor_;
    quillmar::proxy::TlsContext tls_;  // null: plain HTTP
    std::uint64_t requests_ = 0;
    std::uint64_t connections_ = 0;  // accepted, so tests can see keep-alive at work
    std::uint64_t cancelled_ = 0;
    int active_ = 0;
    int peak_active_ = 0;  // most requests ever active at once
    bool healthy_ = true;
    bool refusing_ = false;
};

struct Loop : net::io_context {
    Loop() : net::io_context(1) {}
    void destroy_pending() { shutdown(); }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"OpenAI-compatible fake model server", "quillmar-mock-backend"};
    app.set_version_flag("--version", QUILLMAR_LB_VERSION, "Print the version and exit");
    Options opt;
    app.add_option("--host", opt.host, "Listen address");
    app.add_option("--port", opt.port, "Listen port (0: any free port)")->check(CLI::Range(0, 65535));
    app.add_option("--name", opt.name, "Name reported in x-mock-server and system_fingerprint");
    app.add_option("--seed", opt.seed, "Seed of failure injection and generated content");
    app.add_option("--ttft-ms", opt.ttft_ms, "Time to first token with one request active")->check(CLI::NonNegativeNumber);
    app.add_option("--tokens-per-sec", opt.tokens_per_sec, "Tokens per second with one request active (0: no delay)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--slowdown", opt.slowdown, "Extra delay fraction per additional concurrent request")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--default-tokens", opt.default_tokens, "Tokens generated when max_tokens is absent")
        ->check(CLI::Range(1, 1 << 20));
    app.add_option("--max-tokens", opt.max_tokens, "Upper limit on tokens generated")->check(CLI::Range(1, 1 << 20));
    app.add_option("--embedding-dim", opt.embedding_dim, "Embedding vector size")->check(CLI::Range(1, 1 << 16));
    app.add_option("--error-rate", opt.error_rate, "Fraction of requests answered 500")->check(CLI::Range(0.0, 1.0));
    app.add_option("--hang-rate", opt.hang_rate, "Fraction of requests never answered")->check(CLI::Range(0.0, 1.0));
    app.add_option("--close-mid-stream-rate", opt.close_mid_stream_rate,
                   "Fraction of responses cut off half way")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--tls-cert", opt.tls_cert, "PEM certificate chain: serve HTTPS (with --tls-key)");
    app.add_option("--tls-key", opt.tls_key, "PEM private key of --tls-cert");
    app.add_option("--refuse-after", opt.refuse_after, "Stop accepting connections after N inference requests (0: never)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (opt.tls_cert.empty() != opt.tls_key.empty()) {
        std::fprintf(stderr, "quillmar-mock-backend: --tls-cert and --tls-key go together\n");
        return 2;
    }

    Loop io;
    int status = 0;
    {
        Mock mock(io, opt);
        net::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (!ec) io.stop();
        });
        try {
            std::uint16_t port = mock.start();
            std::printf("{\"port\":%u}\n", port);
            std::fflush(stdout);
            io.run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillmar-mock-backend: %s\n", e.what());
            status = 1;
        }
        io.destroy_pending();
    }
    return status;
}
