// TLS through the real binaries: the proxy's listener with its certificate
// and SIGHUP reloads, failed handshakes, https backends verified (or not),
// and the configuration errors of all of it.
#include "e2e/fixture.hpp"
#include "e2e/tls_support.hpp"

#include <boost/asio/ssl.hpp>

#include <csignal>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {
namespace {

class ProxyTls : public ProxyE2E {
protected:
    TestCerts certs_ = make_test_certs(dir_ + "/certs");

    Child& https_backend(const std::string& name, const std::string& cert, std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--tls-cert", certs_.cert(cert), "--tls-key", certs_.key(cert)});
        return backend(name, extra);
    }
    static json::object https_server(std::int64_t id, std::uint16_t port) {
        json::object s = server(id, port);
        s["url"] = "https://localhost:" + std::to_string(port);  // a host name: SNI and name check
        return s;
    }
    static json::object tls_listener(const std::string& cert, const std::string& key) {
        return json::object{{"address", "127.0.0.1"},
                            {"port", 0},
                            {"tls", json::object{{"cert_file", cert}, {"key_file", key}}}};
    }
    bool metrics_have(const std::string& line) {
        return eventually([&] { return metrics().find(line) != std::string::npos; }, 10);
    }
};

TEST_F(ProxyTls, ListenerServesHttpsAndSigHupSwapsItsCertificate) {
    Child& mock = backend("a");
    auto install = [&](const std::string& cert, const std::string& key) {
        const auto overwrite = std::filesystem::copy_options::overwrite_existing;
        std::filesystem::copy_file(certs_.cert(cert), dir_ + "/listen.crt", overwrite);
        std::filesystem::copy_file(certs_.key(key), dir_ + "/listen.key", overwrite);
    };
    install("a", "a");
    // Relative paths resolve against the configuration file's folder.
    Child& proxy = start_proxy(config(json::array{server(1, mock.port())},
                                      {{"listen", tls_listener("listen.crt", "listen.key")}}));
    Response first = https_request(proxy.port(), certs_.ca(), http::verb::post, kChat, chat_body("m", false, 4));
    EXPECT_EQ(first.status, 200) << first.body;
    EXPECT_EQ(first.peer_cn, "quillmar-test-a");

    struct Step {
        std::string cert, key, served, reloads;
    };
    const std::vector<Step> steps{
        {"b", "b", "quillmar-test-b", R"(quillmar_proxy_config_reloads_total{result="ok"} 1)"},
        // A key that does not belong to the certificate: the reload fails
        // and new connections keep getting the running certificate.
        {"a", "b", "quillmar-test-b", R"(quillmar_proxy_config_reloads_total{result="failed"} 1)"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.cert + "/" + step.key);
        install(step.cert, step.key);
        proxy.signal(SIGHUP);
        ASSERT_TRUE(metrics_have(step.reloads));
        Response r = https_request(proxy.port(), certs_.ca(), http::verb::get, "/v1/models");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.peer_cn, step.served);
    }
    EXPECT_NE(proxy.stderr_text().find("$.listen.tls.key_file: cannot load key"), std::string::npos);
}

TEST_F(ProxyTls, FailedHandshakesAreCountedAndClosedQuietly) {
    Child& mock = backend("a");
    json::object cfg = config(json::array{server(1, mock.port())},
                              {{"listen", tls_listener(certs_.cert("a"), certs_.key("a"))}});
    cfg["timeouts"].as_object()["client_idle_sec"] = 1;  // also the handshake's deadline
    Child& proxy = start_proxy(cfg);
    RawConnection silent(proxy.port());  // connects and never says a word
    RawConnection plain(proxy.port());   // speaks plain HTTP to the TLS port
    plain.send("GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_TRUE(plain.wait_closed(10));
    EXPECT_TRUE(silent.wait_closed(10));
    EXPECT_TRUE(metrics_have(R"(quillmar_proxy_client_events_total{event="tls_handshake_failed"} 2)"));
    EXPECT_EQ(proxy.stderr_text().find("[warning]"), std::string::npos) << proxy.stderr_text();
    // The listener still serves.
    EXPECT_EQ(https_request(proxy.port(), certs_.ca(), http::verb::get, "/v1/models").status, 200);
}

// Standard error on a pipe whose reader has stopped reading, as under a
// supervisor that fell behind: diagnostics (here a debug line per failed
// handshake) are dropped and counted, never waited for, and once there is
// room again a warning says how many were lost.
TEST_F(ProxyTls, AFullStandardErrorCostsDiagnosticsNotConnections) {
    const std::string err = dir_ + "/proxy.err";  // where the proxy's stderr goes
    ASSERT_EQ(::mkfifo(err.c_str(), 0600), 0);
    struct Reader {
        std::string path;
        int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ~Reader() {
            // What the fixture shows of a failed test is read from a file.
            ::close(fd);
            ::unlink(path.c_str());
            write_file(path, "(standard error went to a pipe)\n");
        }
    } reader{err};
    ASSERT_GE(reader.fd, 0);
    ASSERT_GE(::fcntl(reader.fd, F_SETPIPE_SZ, 4096), 0);  // a few dozen lines fill it
    Child& mock = backend("a");
    Child& proxy = start_proxy(config(json::array{server(1, mock.port())},
                                      {{"listen", tls_listener(certs_.cert("a"), certs_.key("a"))}}),
                               {}, {"--log-level", "debug"});
    auto fail_handshake = [&] {
        RawConnection plain(proxy.port());
        plain.send("GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return plain.wait_closed(10);
    };
    for (int i = 0; i < 80; ++i) ASSERT_TRUE(fail_handshake()) << "connection " << i;
    // The balancer's own lines (one per routing-mode change) go the same way.
    for (int i = 0; i < 80; ++i) {
        const char* mode = i % 2 == 0 ? "queue_all" : "max_concurrency";
        ASSERT_EQ(request(proxy.admin_port(), http::verb::put, "/lb/routing-mode", mode, {}, 10).status, 200) << i;
    }
    EXPECT_EQ(https_request(proxy.port(), certs_.ca(), http::verb::get, "/v1/models").status, 200);
    EXPECT_GT(value_of(metrics(), "quillmar_proxy_diagnostics_dropped_lines_total "), 0);

    std::string seen = read_available(reader.fd);
    ASSERT_TRUE(fail_handshake());
    EXPECT_TRUE(eventually([&] {
        seen += read_available(reader.fd);
        return seen.find("line(s) dropped") != std::string::npos;
    }, 10)) << seen;
}

TEST_F(ProxyTls, HttpsBackendsAreVerifiedUnlessTheOperatorSaysOtherwise) {
    struct Case {
        std::string name, cert;
        json::object upstream_tls;
        double health_interval = 0;  // > 0: no requests, the health check is watched
        int status = 0;
        std::string in_body, in_log;
    };
    const std::vector<Case> cases{
        {"trusted", "a", {{"ca_file", certs_.ca()}}, 0, 200, "chat.completion", ""},
        {"trusted form in a bundle", "a", {{"ca_file", certs_.dir + "/bundle.crt"}}, 0, 200, "chat.completion", ""},
        {"untrusted", "untrusted", {{"ca_file", certs_.ca()}}, 0, 502, "tls_verify_failed",
         "certificate not trusted: unable to get local issuer certificate"},
        {"health", "untrusted", {{"ca_file", certs_.ca()}}, 0.1, 0, "",
         "fails its health check at localhost:"},
        {"skip", "untrusted", {{"insecure_skip_verify", true}}, 0, 200, "chat.completion",
         "NOT verified, anyone on the path can read and change their traffic: 1 (https://localhost:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool skip = c.name == "skip";
        // "skip" streams across a reload: its backend is slow, and a failure
        // does not sin-bin it, so that every request after the reload dials.
        Child& mock = https_backend(c.name, c.cert, skip ? std::vector<std::string>{"--tokens-per-sec", "20"}
                                                         : std::vector<std::string>{});
        json::object cfg = config(json::array{https_server(1, mock.port())},
                                  {{"upstream_tls", c.upstream_tls}, {"sin_bin_sec", skip ? 0 : 10}});
        cfg["health_check"] = json::object{{"interval_sec", c.health_interval}};
        Child& proxy = start_proxy(cfg);
        RawConnection running(proxy.port());
        if (skip) {
            running.send_post(kChat, chat_body("m", true, 60));  // 3 s on a connection of its own
            ASSERT_TRUE(running.read_until("data: "));
        }
        if (c.status == 200) {
            for (int i = 0; i < 2; ++i) {
                Response r = post(proxy.port(), kChat, chat_body("m", false, 4));
                EXPECT_EQ(r.status, c.status) << r.body;
                EXPECT_NE(r.body.find(c.in_body), std::string::npos) << r.body;
            }
        } else if (c.status != 0) {
            Response r = post(proxy.port(), kChat, chat_body("m", false, 4));
            EXPECT_EQ(r.status, c.status) << r.body;
            EXPECT_NE(r.body.find(c.in_body), std::string::npos) << r.body;
            // A connect failure like any other: counted and sin-binned.
            EXPECT_TRUE(metrics_have(R"(quillmar_proxy_upstream_errors_total{kind="tls_verify_failed"} 1)"));
            EXPECT_TRUE(metrics_have(R"(quillmar_proxy_backend_sin_binned{server="1",url="https://localhost:)" +
                                     std::to_string(mock.port()) + "\"} 1"));
        }
        EXPECT_TRUE(eventually([&] { return proxy.stderr_text().find(c.in_log) != std::string::npos; }, 10))
            << proxy.stderr_text();
        if (skip) {
            // Verification turned on by a reload holds at once: for the
            // connection that sat idle in the pool, and for the one that
            // carried a stream across the reload, once the stream ends.
            cfg["upstream_tls"] = json::object{{"ca_file", certs_.ca()}};
            write_file(config_path(), json::serialize(cfg));
            proxy.signal(SIGHUP);
            ASSERT_TRUE(eventually([&] { return proxy.stderr_text().find("reloaded") != std::string::npos; }, 10));
            EXPECT_EQ(post(proxy.port(), kChat, chat_body("m", false, 4)).status, 502);
            ASSERT_TRUE(running.read_until("[DONE]", 20));
            EXPECT_EQ(post(proxy.port(), kChat, chat_body("m", false, 4)).status, 502);
        }
        if (c.name == "trusted") {
            // Both requests rode one kept-alive TLS connection (the second
            // connection is this stats request's own).
            Response stats = https_request(mock.port(), certs_.ca(), http::verb::get, "/mock/stats");
            EXPECT_EQ(stats.json().at("connections").to_number<std::int64_t>(), 2);
        }
        EXPECT_EQ(proxy.stop(), 0);  // the next case's proxy writes the same files
        mock.stop();
    }
}

// Stray bytes behind an HTTPS answer can sit decrypted inside the TLS layer,
// where the read that catches them on plain TCP never looks: that connection
// must still close rather than hand them to the next request as its answer.
TEST_F(ProxyTls, StrayBytesAfterAnHttpsAnswerNeverBecomeTheNextAnswer) {
    Child& b = misbehaving("extra", {"--tls-cert", certs_.cert("a"), "--tls-key", certs_.key("a")});
    Child& proxy = start_proxy(config(json::array{https_server(1, b.port())},
                                      {{"upstream_tls", json::object{{"ca_file", certs_.ca()}}}}));
    for (std::int64_t n = 1; n <= 3; ++n) {
        Response r = post(proxy.port(), kChat, chat_body("m", false, 1));
        ASSERT_EQ(r.status, 200) << r.body;
        const json::value answer = r.json();
        const json::value* got = answer.as_object().if_contains("n");
        ASSERT_NE(got, nullptr) << "request " << n << " got " << r.body;
        EXPECT_EQ(got->to_number<std::int64_t>(), n) << r.body;
    }
}

// A request the drain cuts while its body is still coming ends with a TLS
// close_notify, and the stop counts its connection as gone.
TEST_F(ProxyTls, ARequestTheDrainCutsClosesItsTlsConnectionCleanly) {
    Child& a = backend("a");
    json::object cfg = config(json::array{server(1, a.port())}, {{"timeouts", json::object{{"drain_sec", 0.3}}}});
    cfg["listen"] = tls_listener(certs_.cert("a"), certs_.key("a"));
    Child& proxy = start_proxy(cfg);
    net::io_context io;
    net::ssl::context ctx(net::ssl::context::tls_client);  // verifies nothing: the listener is not under test
    net::ssl::stream<net::ip::tcp::socket> client(io, ctx);
    client.next_layer().connect({net::ip::make_address("127.0.0.1"), proxy.port()});
    client.handshake(net::ssl::stream_base::client);
    net::write(client, net::buffer(std::string("POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\n"
                                               "Expect: 100-continue\r\nContent-Length: 100\r\n\r\n")));
    // Reads what comes within 10 s; the error that ended the read, if any.
    std::string got;
    auto read = [&] {
        std::array<char, 256> buf;
        beast::error_code ended = net::error::timed_out;
        client.async_read_some(net::buffer(buf), [&](beast::error_code ec, std::size_t n) {
            got.append(buf.data(), n);
            ended = ec;
        });
        io.restart();
        io.run_for(std::chrono::seconds(10));
        return ended;
    };
    ASSERT_FALSE(read()) << got;  // the proxy reads the body now
    ASSERT_NE(got.find("100 Continue"), std::string::npos) << got;
    proxy.signal(SIGTERM);
    EXPECT_EQ(read(), net::error::eof);  // close_notify: not a truncated stream
    ASSERT_TRUE(proxy.wait_exit(10).has_value());
    EXPECT_NE(proxy.stderr_text().find("stopped (0 connections left)"), std::string::npos) << proxy.stderr_text();
}

TEST_F(ProxyTls, BadCertificatesKeysAndCaFilesExitWithStatus2NamingThePath) {
    const std::string models = R"("models":{"m":{"servers":[{"id":1,"url":"https://localhost:1"}]}})";
    auto listener = [](const std::string& section, const std::string& cert, const std::string& key) {
        return "\"" + section + "\":{\"tls\":{\"cert_file\":\"" + cert + "\",\"key_file\":\"" + key + "\"}},";
    };
    struct Case {
        std::string text, path, detail;
    };
    const std::vector<Case> cases{
        {"{" + listener("listen", dir_ + "/missing.crt", certs_.key("a")) + models + "}", "$.listen.tls.cert_file",
         "cannot read certificate file"},
        {"{" + listener("listen", certs_.cert("a"), certs_.key("b")) + models + "}", "$.listen.tls.key_file",
         "cannot load key"},
        {"{" + listener("admin", certs_.cert("a"), certs_.cert("a")) + models + "}", "$.admin.tls.key_file",
         "cannot load key"},
        {R"({"listen":{"tls":{"cert_file":"a.crt"}},)" + models + "}", "$.listen.tls.key_file", "is required"},
        // Asking for a passphrase would block the proxy at a start or reload.
        {"{" + listener("listen", certs_.cert("a"), certs_.key("a-encrypted")) + models + "}",
         "$.listen.tls.key_file", "key " + certs_.key("a-encrypted") + " is encrypted"},
        // A device or a FIFO would never end, or block the reload.
        {"{" + listener("listen", "/dev/zero", certs_.key("a")) + models + "}", "$.listen.tls.cert_file",
         "cannot read certificate file /dev/zero: not a regular file"},
        {R"({"upstream_tls":{"ca_file":"/nonexistent/ca.crt"},)" + models + "}", "$.upstream_tls.ca_file",
         "cannot read CA file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        write_file(config_path(), c.text);
        const auto [status, text] = check_config(QUILLMAR_PROXY_BIN, config_path(), dir_ + "/bad.err");
        EXPECT_EQ(status, 2);
        EXPECT_NE(text.find("at " + c.path + ": " + c.detail), std::string::npos) << text;
    }
    // Starting for real fails the same way, before it listens.
    write_file(config_path(), cases.front().text);
    try {
        Child proxy({QUILLMAR_PROXY_BIN, "--config", config_path()}, dir_ + "/start.err");
        ADD_FAILURE() << "the proxy started with a missing certificate";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("at $.listen.tls.cert_file"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace e2e
