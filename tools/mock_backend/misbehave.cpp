// quillmar-misbehaving-backend: a model server that breaks HTTP on purpose,
// for the proxy's end-to-end tests and soak.
//
//   quillmar-misbehaving-backend --port 0 --mode interim
//
// Every POST is answered according to --mode:
//   ok          200 with a JSON body naming the request's sequence number ("n")
//               and the target it was sent to ("target")
//   interim     "100 Continue" and "103 Early Hints", then the ok answer
//   garbage     bytes that are not HTTP, then the connection closes
//   short       a head promising 100 body bytes, 10 of them, then the close
//   extra       the ok answer followed by stray bytes on the same connection
//   both        a head with both Content-Length and chunked Transfer-Encoding
//   stall       nothing, ever (the connection stays open)
//   reset       the connection is reset (RST) without an answer
//   flood       a chunked event stream that never ends, as fast as it is read
//   unmodified  "304 Not Modified" with the Content-Length of a body it
//               does not send (as a 304 may), on a connection kept open
//   late        the ok answer, then a tenth of a second later a second
//               answer nobody asked for, on a connection kept open
//   no_content  "204 No Content" naming a Content-Length (which it must not)
//   coded       a body in a transfer coding other than chunked, then the close
//   sized_stream an event stream with a Content-Length: its first event,
//               then nothing more until the peer leaves
//   early       "413" as soon as the request's head is in, its body left
//               unread, then the close (which resets the connection under
//               a body still coming)
//   half_head   a status line and one header field, then the close
//   endless_line a chunked answer whose first chunk-size line never ends
//   big_trailer a chunked event stream whose trailer holds one field of
//               70,000 bytes (more than a parsed message can store)
// With --ok-first N the first N POSTs get the ok answer whatever the mode.
// GET /mock/stats answers {"requests":N,"active":A,"cancelled":C} (cancelled:
// answers cut short because the peer went away). With --tls-cert and
// --tls-key it serves HTTPS, breaking HTTP the same way inside TLS. Prints
// {"port":N} on standard output once it listens; SIGTERM or SIGINT ends it
// with status 0.
#include "proxy/stream.hpp"

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <fmt/format.h>

#include <csignal>
#include <cstdio>
#include <string>

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;
using tcp = net::ip::tcp;
using quillmar::proxy::Stream;
using net::awaitable;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

namespace {

enum class Mode {
    ok, interim, garbage, short_body, extra, both, stall, reset, flood, unmodified, late, no_content, coded,
    sized_stream, early, half_head, endless_line, big_trailer
};

const std::map<std::string, Mode> kModes{{"ok", Mode::ok},         {"interim", Mode::interim},
                                         {"garbage", Mode::garbage}, {"short", Mode::short_body},
                                         {"extra", Mode::extra},     {"both", Mode::both},
                                         {"stall", Mode::stall},     {"reset", Mode::reset},
                                         {"flood", Mode::flood},     {"unmodified", Mode::unmodified},
                                         {"late", Mode::late},       {"no_content", Mode::no_content},
                                         {"coded", Mode::coded},     {"sized_stream", Mode::sized_stream},
                                         {"early", Mode::early},     {"half_head", Mode::half_head},
                                         {"endless_line", Mode::endless_line}, {"big_trailer", Mode::big_trailer}};

std::string ok_answer(std::uint64_t n, std::string_view target) {
    std::string body = json::serialize(json::object{{"object", "chat.completion"}, {"n", n}, {"target", target}});
    return fmt::format("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {}\r\n\r\n{}",
                       body.size(), body);
}

class Misbehaving {
public:
    Misbehaving(net::io_context& io, Mode mode, std::uint64_t ok_first)
        : io_(io), mode_(mode), ok_first_(ok_first), acceptor_(io) {}

    // `tls`: the server context, null for plain HTTP.
    std::uint16_t start(const std::string& host, std::uint16_t port, quillmar::proxy::TlsContext tls) {
        tls_ = std::move(tls);
        tcp::endpoint ep(net::ip::make_address(host), port);
        acceptor_.open(ep.protocol());
        acceptor_.set_option(net::socket_base::reuse_address(true));
        acceptor_.bind(ep);
        acceptor_.listen();
        net::co_spawn(io_, accept_loop(), net::detached);
        return acceptor_.local_endpoint().port();
    }

private:
    awaitable<void> accept_loop() {
        for (;;) {
            auto [ec, socket] = co_await acceptor_.async_accept(use_tuple);
            if (ec) co_return;
            net::co_spawn(io_, session(Stream(std::move(socket), tls_)), net::detached);
        }
    }

    awaitable<void> session(Stream stream) {
        beast::flat_buffer buffer;
        if (co_await quillmar::proxy::accept_tls(stream, std::chrono::seconds(10))) co_return;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(boost::none);
            auto [hec, hn] = co_await http::async_read_header(stream, buffer, parser, use_tuple);
            if (hec) break;
            if (mode_ == Mode::early && parser.get().method() == http::verb::post && requests_ >= ok_first_) {
                ++requests_;
                co_await put(stream, "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                break;
            }
            auto [ec, n] = co_await http::async_read(stream, buffer, parser, use_tuple);
            if (ec) break;
            http::request<http::string_body> req = parser.release();
            if (req.method() == http::verb::get && req.target() == "/mock/stats") {
                std::string body = json::serialize(
                    json::object{{"requests", requests_}, {"active", active_}, {"cancelled", cancelled_}});
                std::string out = fmt::format("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                              "Content-Length: {}\r\n\r\n{}",
                                              body.size(), body);
                co_await net::async_write(stream, net::buffer(out), use_tuple);
                continue;
            }
            ++requests_;
            ++active_;
            bool keep = co_await answer(stream, req.target());
            --active_;
            if (!keep) break;
        }
        stream.close();
    }

    // Writes `bytes`; false (and counted as cancelled) when the peer is gone.
    awaitable<bool> put(Stream& stream, const std::string& bytes) {
        auto [ec, n] = co_await net::async_write(stream, net::buffer(bytes), use_tuple);
        if (ec) ++cancelled_;
        co_return !ec;
    }

    // One answer in the configured way; true: the connection may carry more.
    awaitable<bool> answer(Stream& stream, std::string_view target) {
        const std::uint64_t n = requests_;
        if (n <= ok_first_) co_return co_await put(stream, ok_answer(n, target));
        switch (mode_) {
            case Mode::ok: co_return co_await put(stream, ok_answer(n, target));
            case Mode::interim:
                co_return co_await put(stream, "HTTP/1.1 100 Continue\r\n\r\n"
                                               "HTTP/1.1 103 Early Hints\r\nLink: </x>; rel=preload\r\n\r\n" +
                                                   ok_answer(n, target));
            case Mode::garbage: co_await put(stream, "SURPRISE\x01\x02 this is not HTTP\r\n\r\n"); co_return false;
            case Mode::short_body:
                co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n"
                                     "{\"partial\"");
                co_return false;
            case Mode::extra: co_return co_await extra(stream, n, target);
            case Mode::both:
                co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"
                                     "2\r\n{}\r\n0\r\n\r\n");
                co_return false;
            case Mode::stall: co_await stall(stream); co_return false;
            case Mode::reset: {
                beast::error_code ignored;
                stream.socket().set_option(net::socket_base::linger(true, 0), ignored);
                co_return false;
            }
            case Mode::flood: co_return co_await flood(stream);
            case Mode::unmodified:
                co_return co_await put(stream, "HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\nContent-Length: 5\r\n\r\n");
            case Mode::late: co_return co_await late(stream, n, target);
            case Mode::no_content: co_return co_await put(stream, "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n");
            case Mode::coded:
                co_await put(stream, "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n\x1f\x8b\x08\x00coded");
                co_return false;
            case Mode::sized_stream:
                if (co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                         "Content-Length: 1000\r\n\r\ndata: 1\n\n"))
                    co_await stall(stream);
                co_return false;
            case Mode::early: co_return false;  // answered as its head came in
            case Mode::half_head:
                co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n");
                co_return false;
            case Mode::endless_line: co_await endless_line(stream); co_return false;
            case Mode::big_trailer:
                co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                     "Transfer-Encoding: chunked\r\n\r\n9\r\ndata: 1\n\n\r\n0\r\nX-T: " +
                                         std::string(70000, 'a') + "\r\n\r\n");
                co_return false;
        }
        co_return false;
    }

    // The ok answer with a second one nobody asked for right behind its body.
    // Over TLS the head goes in a record of its own, as a model server that
    // writes head and body apart sends it: the reader then gets the body's
    // end and the stray bytes in one record, in a read apart from the head.
    awaitable<bool> extra(Stream& stream, std::uint64_t n, std::string_view target) {
        const std::string bytes = ok_answer(n, target) + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
        if (!stream.tls()) co_return co_await put(stream, bytes);
        const std::size_t head_end = bytes.find("\r\n\r\n") + 4;
        if (!co_await put(stream, bytes.substr(0, head_end))) co_return false;
        co_return co_await put(stream, bytes.substr(head_end));
    }

    // The ok answer, then a stray one once the connection has gone quiet:
    // a reader that pooled it meanwhile must not take the stray bytes for
    // the next request's answer.
    awaitable<bool> late(Stream& stream, std::uint64_t n, std::string_view target) {
        if (!co_await put(stream, ok_answer(n, target))) co_return false;
        net::steady_timer pause(io_, std::chrono::milliseconds(100));
        co_await pause.async_wait(use_tuple);
        co_return co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
    }

    awaitable<void> stall(Stream& stream) {
        char byte;
        co_await stream.async_read_some(net::buffer(&byte, 1), use_tuple);  // until the peer leaves
        ++cancelled_;
    }

    awaitable<void> endless_line(Stream& stream) {
        if (!co_await put(stream, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;x=")) co_return;
        const std::string more(16384, 'a');
        while (co_await put(stream, more)) {
        }
    }

    awaitable<bool> flood(Stream& stream) {
        if (!co_await put(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\n"))
            co_return false;
        const std::string event = "data: " + std::string(4000, 'x') + "\n\n";
        const std::string chunk = fmt::format("{:x}\r\n{}\r\n", event.size(), event);
        for (;;)
            if (!co_await put(stream, chunk)) co_return false;
    }

    net::io_context& io_;
    Mode mode_;
    std::uint64_t ok_first_;
    quillmar::proxy::TlsContext tls_;
    tcp::acceptor acceptor_;
    std::uint64_t requests_ = 0;
    std::uint64_t active_ = 0;
    std::uint64_t cancelled_ = 0;
};

struct Loop : net::io_context {
    Loop() : net::io_context(1) {}
    void destroy_pending() { shutdown(); }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"A model server that breaks HTTP on purpose", "quillmar-misbehaving-backend"};
    std::string host = "127.0.0.1";
    int port = 0;
    std::string mode_name = "ok";
    std::string tls_cert, tls_key;
    app.add_option("--host", host, "Listen address");
    app.add_option("--port", port, "Listen port (0: any free port)")->check(CLI::Range(0, 65535));
    std::uint64_t ok_first = 0;
    app.add_option("--mode", mode_name,
                   "ok, interim, garbage, short, extra, both, stall, reset, flood, unmodified, late, no_content, "
                   "coded, sized_stream, early, half_head, endless_line or big_trailer")
        ->check(CLI::IsMember([] {
            std::vector<std::string> names;
            for (const auto& kv : kModes) names.push_back(kv.first);
            return names;
        }()));
    app.add_option("--ok-first", ok_first, "Answer the first N POSTs with the ok answer whatever the mode");
    app.add_option("--tls-cert", tls_cert, "PEM certificate chain: serve HTTPS (with --tls-key)");
    app.add_option("--tls-key", tls_key, "PEM private key of --tls-cert");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (tls_cert.empty() != tls_key.empty()) {
        std::fprintf(stderr, "quillmar-misbehaving-backend: --tls-cert and --tls-key go together\n");
        return 2;
    }
    Loop io;
    int status = 0;
    {
        Misbehaving server(io, kModes.at(mode_name), ok_first);
        net::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const boost::system::error_code& ec, int) {
            if (!ec) io.stop();
        });
        try {
            auto tls = tls_cert.empty() ? nullptr : quillmar::proxy::make_server_context(tls_cert, tls_key);
            std::printf("{\"port\":%u}\n", server.start(host, static_cast<std::uint16_t>(port), std::move(tls)));
            std::fflush(stdout);
            io.run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "quillmar-misbehaving-backend: %s\n", e.what());
            status = 1;
        }
        io.destroy_pending();
    }
    return status;
}
