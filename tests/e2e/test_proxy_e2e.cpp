// quillmar-proxy end to end: real processes on loopback, real HTTP.
#include "e2e/fixture.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace {

using namespace e2e;

// ---- pass-through -------------------------------------------------------------

TEST_F(ProxyE2E, StreamingAndPlainResponsesPassThroughByteForByte) {
    Child& a = backend("a", {"--tokens-per-sec", "500"});
    start_proxy(config(json::array{server(1, a.port())}));

    for (bool stream : {true, false}) {
        SCOPED_TRACE(stream ? "stream" : "plain");
        std::string body = chat_body("m", stream, 40);
        Response direct = post(a.port(), kChat, body);
        Response proxied = post(proxy_->port(), kChat, body);
        ASSERT_EQ(direct.status, 200);
        EXPECT_EQ(proxied.status, 200);
        EXPECT_EQ(proxied.body, direct.body);
        EXPECT_EQ(proxied.header("content-type"), direct.header("content-type"));
        EXPECT_EQ(proxied.header("x-mock-server"), "a");
        if (stream) {
            EXPECT_EQ(proxied.header("transfer-encoding"), "chunked");
            EXPECT_NE(proxied.body.find("data: [DONE]"), std::string::npos);
        }
    }
    // Embeddings and text completions take the same road.
    std::string emb = R"({"model":"m","input":["one","two"]})";
    EXPECT_EQ(post(proxy_->port(), "/v1/embeddings", emb).body, post(a.port(), "/v1/embeddings", emb).body);
    EXPECT_TRUE(clean());
    EXPECT_NE(metrics().find(R"(quillmar_proxy_requests_total{pool="m|1|default",status="200"} 3)"),
              std::string::npos);
}

// ---- disconnects ----------------------------------------------------------------

TEST_F(ProxyE2E, ClientLeavingMidStreamCancelsUpstreamAndReleasesLease) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port())}));

    RawConnection c(proxy_->port());
    c.send_post(kChat, chat_body("m", true, 200));
    ASSERT_TRUE(c.read_until("data: ")) << c.received();
    EXPECT_EQ(inflight(1), 1);
    c.close();

    EXPECT_TRUE(eventually([&] { return clean(); }));
    // The backend saw its client (the proxy) go away too.
    EXPECT_TRUE(eventually([&] { return mock_stat(a, "active") == 0; }));
    EXPECT_EQ(mock_stat(a, "cancelled"), 1);
    // A client leaving is not an upstream failure: nothing sin-binned or counted.
    EXPECT_EQ(metrics().find("quillmar_proxy_upstream_errors_total{"), std::string::npos);
    EXPECT_EQ(post(proxy_->port(), kChat, chat_body("m", false, 1)).status, 200);
}

// The request and the hang-up reach the proxy together, before its watch
// starts: the watch must still see the end of the stream that is already
// waiting in the socket, not only a later one. Bytes the client sent after
// its request (a stray CRLF, its next request) do not hide the hang-up.
TEST_F(ProxyE2E, ClientHangingUpRightAfterSendingCancelsItsRequest) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port())}));
    int hang_ups = 0;
    for (const std::string after : {"", "\r\n", "pipelined"}) {
        SCOPED_TRACE(after);
        RawConnection c(proxy_->port());
        c.send_post(kChat, chat_body("m", false, 400));  // twenty seconds of generation
        if (after == "pipelined") c.send_post(kChat, chat_body("m", false, 1));
        else if (!after.empty()) c.send(after);
        c.close();

        // It ends as the client's hang-up long before its answer would have.
        ++hang_ups;
        EXPECT_TRUE(eventually(
            [&] {
                return metrics().find(R"(quillmar_proxy_requests_total{pool="m|1|default",status="499"} )" +
                                      std::to_string(hang_ups)) != std::string::npos;
            },
            5.0));
        EXPECT_TRUE(eventually([&] { return clean(); }, 5.0));
    }
}

TEST_F(ProxyE2E, ClientLeavingMidWaitRemovesItsWaiter) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port(), 1)}, json::object{{"queue", json::object{{"enabled", true}}}}));

    RawConnection holder(proxy_->port());
    RawConnection parked(proxy_->port());
    ASSERT_TRUE(hold_then_park(holder, parked, 1));
    parked.close();
    EXPECT_TRUE(eventually([&] { return waiters() == 0; }));
    EXPECT_EQ(inflight(1), 1);  // the holder still runs

    holder.close();
    EXPECT_TRUE(eventually([&] { return clean(); }));
    EXPECT_EQ(mock_stat(a, "requests"), 1);  // the parked request never reached the backend
}

TEST_F(ProxyE2E, RequestPipelinedWhileOneRunsIsAnsweredNotTakenForAHangUp) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port())}));

    RawConnection c(proxy_->port());
    c.send_post(kChat, chat_body("m", false, 10));  // half a second of generation
    ASSERT_TRUE(eventually([&] { return inflight(1) == 1; }));
    c.send_post(kChat, chat_body("m", false, 1));  // readable while the first runs
    ASSERT_TRUE(eventually([&] {
        c.read_until("\x01", 0.1);  // whatever arrives within 0.1 s
        const std::string& r = c.received();
        const std::size_t first = r.find("HTTP/1.1 200");
        return first != std::string::npos && r.find("HTTP/1.1 200", first + 1) != std::string::npos;
    })) << c.received();
    EXPECT_EQ(mock_stat(a, "requests"), 2);
    EXPECT_EQ(mock_stat(a, "cancelled"), 0);
    EXPECT_TRUE(eventually([&] { return clean(); }));
}

// ---- capacity: 503, queue admission, queue full ---------------------------------------

TEST_F(ProxyE2E, FullPoolWithoutQueueAnswers503WithRetryAfterAndCap) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port(), 1)}, json::object{{"retry_after_sec", 3}}));

    RawConnection holder(proxy_->port());
    holder.send_post(kChat, chat_body("m", true, 200));
    ASSERT_TRUE(holder.read_until("data: "));

    Response r = post(proxy_->port(), kChat, chat_body("m", false, 1));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.header("retry-after"), "3");
    json::object err = r.json().at("error").as_object();
    EXPECT_EQ(err.at("type").as_string(), "at_capacity");
    EXPECT_EQ(err.at("effective_cap").to_number<std::int64_t>(), 1);
    EXPECT_EQ(snapshot().at("reject_counts").at("at_capacity").to_number<std::int64_t>(), 1);

    holder.close();
    EXPECT_TRUE(eventually([&] { return clean(); }));
}

TEST_F(ProxyE2E, ParkedRequestIsAdmittedWhenASlotFreesAndFullQueueAnswers429) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port(), 1)},
                       json::object{{"queue", json::object{{"enabled", true}, {"max_depth_multiplier", 1}}}}));

    RawConnection holder(proxy_->port());
    RawConnection parked(proxy_->port());
    ASSERT_TRUE(hold_then_park(holder, parked, 2));

    // One waiter fills a queue of depth max_concurrency x 1.
    Response full = post(proxy_->port(), kChat, chat_body("m", false, 1));
    EXPECT_EQ(full.status, 429);
    EXPECT_EQ(full.json().at("error").at("type").as_string(), "queue_full");
    EXPECT_FALSE(full.header("retry-after").empty());

    holder.close();  // frees the slot: the parked request goes through
    ASSERT_TRUE(parked.read_until("\"finish_reason\":\"stop\"")) << parked.received();
    EXPECT_EQ(parked.received().rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_TRUE(eventually([&] { return clean(); }));
    EXPECT_NE(metrics().find(R"(quillmar_proxy_queue_wait_seconds_count{model="m"} 1)"), std::string::npos);
}

// ---- upstream failures -----------------------------------------------------------------

TEST_F(ProxyE2E, RefusedConnectionSinBinsTheServerAndRetriesOnAnother) {
    Child& b = backend("b");
    // Server 1 listens nowhere; equal weights make it the first choice.
    json::array servers{server(1, closed_port()), server(2, b.port())};
    json::object cfg = config(servers, json::object{{"sin_bin_sec", 60}});
    cfg["models"].as_object()["m"].as_object()["algorithm"] = "weighted_round_robin";
    start_proxy(cfg);

    for (int i = 0; i < 3; ++i) {
        Response r = post(proxy_->port(), kChat, chat_body("m", false, 1));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.header("x-mock-server"), "b");
    }
    // One refusal, then the sin-bin keeps server 1 out of the choice.
    EXPECT_NE(metrics().find(R"(quillmar_proxy_upstream_errors_total{kind="connect_refused"} 1)"), std::string::npos);
    EXPECT_EQ(mock_stat(b, "requests"), 3);
    EXPECT_TRUE(clean());
}

TEST_F(ProxyE2E, BackendThatStopsAcceptingMidRunIsRetriedElsewhere) {
    Child& a = backend("a", {"--refuse-after", "1"});
    Child& b = backend("b");
    json::object cfg = config(json::array{server(1, a.port()), server(2, b.port())});
    cfg["models"].as_object()["m"].as_object()["algorithm"] = "weighted_round_robin";
    start_proxy(cfg);

    // Round-robin: a, b, then a again, which now refuses connections.
    std::vector<std::string> served;
    for (int i = 0; i < 3; ++i) {
        Response r = post(proxy_->port(), kChat, chat_body("m", false, 1));
        EXPECT_EQ(r.status, 200);
        served.push_back(r.header("x-mock-server"));
    }
    EXPECT_EQ(served, (std::vector<std::string>{"a", "b", "b"}));
    EXPECT_NE(metrics().find(R"(quillmar_proxy_upstream_errors_total{kind="connect_refused"} 1)"), std::string::npos);
    EXPECT_TRUE(clean());
}

// A key keeps its backend and the keys spread; a request without the
// header has no key and is picked by round-robin. The proxy gives every
// request an id, but a pool keyed on X-Request-Id routes on the client's.
TEST_F(ProxyE2E, StickySessionsFollowTheConfiguredHeader) {
    for (const std::string header : {"x-session-id", "x-request-id"}) {
        SCOPED_TRACE(header);
        children_.clear();
        Child& a = backend("a");
        Child& b = backend("b");
        json::object cfg = config(json::array{server(1, a.port()), server(2, b.port())});
        auto& pool = cfg["models"].as_object()["m"].as_object();
        pool["algorithm"] = "sticky_session";
        pool["sticky_header"] = header;
        start_proxy(cfg);

        std::set<std::string> used;
        for (int s = 0; s < 8; ++s) {
            std::string session = "session-" + std::to_string(s);
            std::string first;
            for (int i = 0; i < 3; ++i) {
                Response r = post(proxy_->port(), kChat, chat_body("m", false, 1), {{header, session}});
                ASSERT_EQ(r.status, 200);
                if (i == 0) first = r.header("x-mock-server");
                EXPECT_EQ(r.header("x-mock-server"), first) << session;
            }
            used.insert(first);
        }
        EXPECT_EQ(used.size(), 2u);  // the keys spread over both servers
        std::string last;
        for (int i = 0; i < 10; ++i) {
            Response r = post(proxy_->port(), kChat, chat_body("m", false, 1));
            ASSERT_EQ(r.status, 200);
            EXPECT_NE(r.header("x-mock-server"), last) << i;
            last = r.header("x-mock-server");
        }
    }
}

TEST_F(ProxyE2E, UpstreamFailuresWithNoBackendLeftAnswer502Or504) {
    struct Case {
        const char* name;
        std::vector<std::string> mock_args;  // empty: nothing listens
        int status;
        const char* kind;
    };
    for (const Case& c : {Case{"refused", {}, 502, "connect_refused"},
                          Case{"hang", {"--hang-rate", "1"}, 504, "first_byte_timeout"},
                          Case{"error", {"--error-rate", "1"}, 500, nullptr},
                          Case{"cut", {"--close-mid-stream-rate", "1"}, 502, "mid_stream_closed"}}) {
        SCOPED_TRACE(c.name);
        children_.clear();
        std::uint16_t port = closed_port();
        if (!c.mock_args.empty()) port = backend(c.name, c.mock_args).port();
        json::object cfg = config(json::array{server(1, port)});
        // Short only where the backend hangs: elsewhere a loaded machine
        // must not turn a slow answer into a time-out.
        if (c.status == 504) cfg["timeouts"].as_object()["first_byte_sec"] = 0.5;
        start_proxy(cfg);
        Response r = post(proxy_->port(), kChat, chat_body("m", false, 1));
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.kind != nullptr) {
            EXPECT_EQ(r.json().at("error").at("code").as_string(), c.kind);
            EXPECT_NE(metrics().find(std::string("kind=\"") + c.kind + "\"} 1"), std::string::npos);
        }
        EXPECT_TRUE(eventually([&] { return clean(); }));
    }
}

// ---- malformed requests -----------------------------------------------------------------

TEST_F(ProxyE2E, MalformedRequestsGetTheirStatusAndLeaveNoState) {
    Child& a = backend("a");
    start_proxy(config(json::array{server(1, a.port(), 4, 50)}, json::object{{"body_limit_bytes", 4096}}));

    struct Case {
        const char* name;
        std::string body;
        int status;
        const char* code;
    };
    const std::vector<Case> cases{
        {"over the body limit", std::string(5000, 'x'), 413, "body_too_large"},
        {"invalid JSON", "{\"model\": ", 400, "invalid_json"},
        {"not an object", "[1,2]", 400, "invalid_json"},
        {"no model", R"({"messages":[]})", 400, "missing_model"},
        {"model not a string", R"({"model":7})", 400, "missing_model"},
        {"unknown model", R"({"model":"nope"})", 404, "model_not_found"},
        {"too large for every backend", chat_body("m", false, 1, std::string(400, 'w')), 400,
         "context_length_exceeded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Response r = post(proxy_->port(), kChat, c.body);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(r.json().at("error").at("code").as_string(), c.code);
    }
    EXPECT_EQ(post(proxy_->port(), kChat, chat_body("m", false, 1)).status, 200);  // still serving
    json::object s = snapshot();
    EXPECT_EQ(s.at("reject_counts").at("too_large").to_number<std::int64_t>(), 1);
    EXPECT_EQ(s.at("dispatch_counts").at("1").to_number<std::int64_t>(), 1);
    EXPECT_TRUE(clean());
    EXPECT_EQ(mock_stat(a, "requests"), 1);
}

// ---- reload and admin ---------------------------------------------------------------------

TEST_F(ProxyE2E, SighupReloadKeepsRunningRequestsAndRoutesNewOnesToTheNewServers) {
    Child& a = backend("a", {"--tokens-per-sec", "50"});
    Child& b = backend("b");
    // The file names a port the command line overrides, in every version of it.
    auto file = [](json::object cfg) {
        cfg["listen"].as_object()["port"] = 1;
        return cfg;
    };
    start_proxy(file(config(json::array{server(1, a.port())})), {}, {"--port", "0"});
    const std::int64_t default_cap = snapshot().at("superfast_cap").as_int64();

    RawConnection running(proxy_->port());
    running.send_post(kChat, chat_body("m", true, 30));
    ASSERT_TRUE(running.read_until("data: "));

    write_file(config_path(),
               json::serialize(file(config(json::array{server(2, b.port())}, {{"superfast_cap", default_cap + 3}}))));
    proxy_->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] {
        return post(proxy_->port(), kChat, chat_body("m", false, 1)).header("x-mock-server") == "b";
    }));
    EXPECT_EQ(snapshot().at("superfast_cap").as_int64(), default_cap + 3);

    // The request that was running when the file changed ends normally.
    ASSERT_TRUE(running.read_until("data: [DONE]")) << running.received();
    EXPECT_TRUE(eventually([&] { return clean(); }));

    // A broken file is refused and the running configuration stays.
    write_file(config_path(), "{\"models\": 3}");
    proxy_->signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return proxy_->stderr_text().find("reload of") != std::string::npos; }));
    EXPECT_EQ(post(proxy_->port(), kChat, chat_body("m", false, 1)).header("x-mock-server"), "b");

    // A setting the file no longer names goes back to what it was before the file set it.
    write_file(config_path(), json::serialize(file(config(json::array{server(2, b.port())}))));
    proxy_->signal(SIGHUP);
    EXPECT_TRUE(eventually([&] { return snapshot().at("superfast_cap").as_int64() == default_cap; }));
    EXPECT_EQ(proxy_->stderr_text().find("listener changes"), std::string::npos) << proxy_->stderr_text();
}

// Each reload whose listeners differ from those bound says the change waits
// for a restart, not only the first one that made it.
TEST_F(ProxyE2E, EveryReloadSaysListenerChangesWaitForARestart) {
    Child& a = backend("a");
    json::object cfg = config(json::array{server(1, a.port())});
    start_proxy(cfg);
    cfg["listen"].as_object()["port"] = 1;  // not the port bound
    auto count = [&](const std::string& text) {
        const std::string all = proxy_->stderr_text();
        int n = 0;
        for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
        return n;
    };
    write_file(config_path(), json::serialize(cfg));
    for (int reloads = 1; reloads <= 2; ++reloads) {
        proxy_->signal(SIGHUP);
        ASSERT_TRUE(eventually([&] { return count("reloaded") == reloads; }));
        EXPECT_EQ(count("listener changes"), reloads);
    }
}

TEST_F(ProxyE2E, RoutingModeChangesOnlyThroughTheAdminListener) {
    Child& a = backend("a");
    start_proxy(config(json::array{server(1, a.port())}));

    EXPECT_EQ(request(proxy_->port(), http::verb::put, "/lb/routing-mode", R"({"routing_mode":"queue_all"})").status,
              404);
    Response r = request(proxy_->admin_port(), http::verb::put, "/lb/routing-mode", R"({"routing_mode":"queue_all"})");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json().at("previous").as_string(), "max_concurrency");
    EXPECT_EQ(snapshot().at("routing_mode").as_string(), "queue_all");
    EXPECT_EQ(snapshot().at("queue_enabled").as_bool(), true);
    // A body that does not name exactly one mode changes nothing.
    for (const char* body : {"fastest", R"({"routing_mode":"hybrid","mode":"superfast"})",
                             R"({"routing_mode":"bogus","mode":"hybrid"})", R"({"routing_mode":7,"mode":"hybrid"})",
                             R"({"routing_mode":"hybrid","routing_mode":"superfast"})", R"({"routing_mode":"hybrid","x":1})"}) {
        EXPECT_EQ(request(proxy_->admin_port(), http::verb::put, "/lb/routing-mode", body).status, 400) << body;
        EXPECT_EQ(snapshot().at("routing_mode").as_string(), "queue_all") << body;
    }
    // Any case, as in the file.
    r = request(proxy_->admin_port(), http::verb::post, "/lb/routing-mode", "Hybrid");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.json().at("routing_mode").as_string(), "hybrid");
    EXPECT_EQ(get(proxy_->port(), "/healthz").status, 200);
}

// Switching to a mode with higher caps lets parked requests in at once,
// not one per request that ends.
TEST_F(ProxyE2E, ModeChangeAdmitsParkedRequestsItMakesRoomFor) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    start_proxy(config(json::array{server(1, a.port(), 2)},
                       json::object{{"routing_mode", "superfast"}, {"superfast_cap", 1},
                                    {"queue", json::object{{"enabled", true}}}}));
    RawConnection holder(proxy_->port());
    RawConnection parked(proxy_->port());
    ASSERT_TRUE(hold_then_park(holder, parked, 2));

    EXPECT_EQ(request(proxy_->admin_port(), http::verb::put, "/lb/routing-mode", "max_concurrency").status, 200);
    // Well before the first request's 10 s of streaming end.
    ASSERT_TRUE(parked.read_until("\"finish_reason\":\"stop\"", 5.0)) << parked.received();
    EXPECT_EQ(parked.received().rfind("HTTP/1.1 200", 0), 0u);
}

// A reload that raises a backend's cap lets requests parked before it in
// at once, not only the requests that come after it.
TEST_F(ProxyE2E, ReloadRaisingACapAdmitsParkedRequests) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    auto with_cap = [&](int cap) {
        return config(json::array{server(1, a.port(), cap)}, json::object{{"queue", json::object{{"enabled", true}}}});
    };
    start_proxy(with_cap(1));
    RawConnection holder(proxy_->port());
    RawConnection parked(proxy_->port());
    ASSERT_TRUE(hold_then_park(holder, parked, 2));

    write_file(config_path(), json::serialize(with_cap(2)));
    proxy_->signal(SIGHUP);
    // Well before the first request's 10 s of streaming end.
    ASSERT_TRUE(parked.read_until("\"finish_reason\":\"stop\"", 5.0)) << parked.received();
    EXPECT_EQ(parked.received().rfind("HTTP/1.1 200", 0), 0u);
}

// A reload that sets reaper_interval_sec starts the reaper: the count of a
// request still running on a backend the reload removed is cleared.
TEST_F(ProxyE2E, ReloadStartsTheReaper) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    Child& b = backend("b");
    auto with = [&](std::uint16_t port, double reaper_interval_sec) {
        return config(json::array{server(port == a.port() ? 1 : 2, port)},
                      json::object{{"reaper_interval_sec", reaper_interval_sec}});
    };
    start_proxy(with(a.port(), 0));
    RawConnection holder(proxy_->port());
    holder.send_post(kChat, chat_body("m", true, 200));  // 10 s of streaming
    ASSERT_TRUE(holder.read_until("data: "));
    ASSERT_EQ(inflight(1), 1);

    write_file(config_path(), json::serialize(with(b.port(), 0.05)));
    proxy_->signal(SIGHUP);
    // Well before the stream's end would release the count anyway.
    ASSERT_TRUE(eventually(
        [&] { return proxy_->stderr_text().find("Force-cleared inflight=1 for server 1") != std::string::npos; },
        5.0));
    EXPECT_EQ(inflight(1), 0);
}

// The environment may set a duration to infinity; the snapshot stays JSON.
TEST_F(ProxyE2E, SnapshotSpellsAnInfiniteSettingAsJsonCan) {
    Child& a = backend("a");
    start_proxy(config(json::array{server(1, a.port())}), {"/usr/bin/env", "QUILLMAR_LB_POOL_LRU_TTL_SEC=inf"});
    EXPECT_EQ(snapshot().at("pool_lru_ttl_sec").as_string(), "inf");
}

// A reload that moves a server id while a request is parked on it sends
// the request to the new address, where its lease counts.
TEST_F(ProxyE2E, ARequestParkedAcrossAReloadGoesToTheServersNewAddress) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    Child& b = backend("b");
    auto on = [&](std::uint16_t port) {
        return config(json::array{server(1, port, 1)}, json::object{{"queue", json::object{{"enabled", true}}}});
    };
    start_proxy(on(a.port()));
    RawConnection running(proxy_->port());
    RawConnection parked(proxy_->port());
    ASSERT_TRUE(hold_then_park(running, parked, 1, 30));  // a stream of about 1.5 s
    write_file(config_path(), json::serialize(on(b.port())));
    proxy_->signal(SIGHUP);
    ASSERT_TRUE(parked.read_until("\"finish_reason\"", 20)) << parked.received();
    EXPECT_NE(parked.received().find("x-mock-server: b"), std::string::npos) << parked.received();
}

// A backend that fails its health check while a request waits for it is
// not given that request when its slot frees: the request waits on for a
// backend in rotation.
TEST_F(ProxyE2E, AParkedRequestAvoidsABackendThatFailedWhileItWaited) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    Child& b = backend("b", {"--tokens-per-sec", "20"});
    json::object cfg = config(json::array{server(1, a.port(), 1), server(2, b.port(), 1)},
                              json::object{{"queue", json::object{{"enabled", true}}}});
    cfg["health_check"] = json::object{{"interval_sec", 0.1}, {"timeout_sec", 2}};
    start_proxy(cfg);
    RawConnection on_a(proxy_->port()), on_b(proxy_->port()), parked(proxy_->port());
    on_a.send_post(kChat, chat_body("m", true, 200));
    ASSERT_TRUE(on_a.read_until("data: "));
    ASSERT_TRUE(hold_then_park(on_b, parked, 1));
    ASSERT_NE(on_a.received().find("x-mock-server: a"), std::string::npos) << on_a.received();

    ASSERT_EQ(request(a.port(), http::verb::put, "/mock/health", "fail").status, 200);
    ASSERT_TRUE(eventually([&] { return proxy_->stderr_text().find("server 1 fails") != std::string::npos; }));
    on_a.close();  // a's slot frees; the request keeps waiting
    EXPECT_TRUE(eventually([&] { return inflight(1) == 0 && waiters() == 1; }));
    on_b.close();
    ASSERT_TRUE(parked.read_until("\"finish_reason\"", 20)) << parked.received();
    EXPECT_NE(parked.received().find("x-mock-server: b"), std::string::npos) << parked.received();
    EXPECT_EQ(mock_stat(a, "requests"), 1);
}

// ---- health checks --------------------------------------------------------------------------

// A request still running on a server that fails its check keeps its
// count through the reaper's passes: cleared, it would let one request
// more in than the server takes once it passes again.
TEST_F(ProxyE2E, FailingHealthCheckTakesAServerOutOfRotation) {
    Child& a = backend("a", {"--tokens-per-sec", "20"});
    Child& b = backend("b", {"--tokens-per-sec", "20"});
    json::object cfg =
        config(json::array{server(1, a.port()), server(2, b.port())}, json::object{{"reaper_interval_sec", 0.05}});
    cfg["health_check"] = json::object{{"interval_sec", 0.1}, {"timeout_sec", 2}};
    start_proxy(cfg);
    RawConnection running(proxy_->port());
    running.send_post(kChat, chat_body("m", true, 200));  // 10 s of streaming
    ASSERT_TRUE(running.read_until("data: "));
    const bool on_a = running.received().find("x-mock-server: a") != std::string::npos;
    Child& failing = on_a ? a : b;
    const std::int64_t id = on_a ? 1 : 2;

    ASSERT_EQ(request(failing.port(), http::verb::put, "/mock/health", "fail").status, 200);
    const std::string fails = "server " + std::to_string(id) + " fails";
    ASSERT_TRUE(eventually([&] { return proxy_->stderr_text().find(fails) != std::string::npos; }));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(post(proxy_->port(), kChat, chat_body("m", false, 1)).header("x-mock-server"), on_a ? "b" : "a");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // reaper passes
    EXPECT_EQ(inflight(id), 1);

    ASSERT_EQ(request(failing.port(), http::verb::put, "/mock/health", "ok").status, 200);
    const std::string passes = "server " + std::to_string(id) + " passes";
    EXPECT_TRUE(eventually([&] { return proxy_->stderr_text().find(passes) != std::string::npos; }));
}

// A reload's health-check interval applies at once: a shorter one does not
// wait for the old one to run out, and switching checks off brings back a
// server that failed them (nothing would ever check it again).
TEST_F(ProxyE2E, HealthCheckIntervalChangesApplyAtTheReload) {
    Child& a = backend("a");
    ASSERT_EQ(request(a.port(), http::verb::put, "/mock/health", "fail").status, 200);
    auto with_interval = [&](double sec) {
        json::object cfg = config(json::array{server(1, a.port())});
        cfg["health_check"] = json::object{{"interval_sec", sec}, {"timeout_sec", 2}};
        return cfg;
    };
    start_proxy(with_interval(3600));
    auto ready = [&] { return get(proxy_->port(), "/readyz").status; };
    EXPECT_EQ(ready(), 200);  // not checked yet
    for (double sec : {0.1, 0.0}) {
        SCOPED_TRACE(sec);
        write_file(config_path(), json::serialize(with_interval(sec)));
        proxy_->signal(SIGHUP);
        const int expected = sec > 0 ? 503 : 200;
        EXPECT_TRUE(eventually([&] { return ready() == expected; }, 10));
        EXPECT_EQ(post(proxy_->port(), kChat, chat_body("m", false, 1)).status, expected);
    }
}

// ---- configuration errors -----------------------------------------------------------------

struct BadConfig {
    std::string text;
    std::string path;
    std::string detail = {};  // also in the message when set
};

// Configurations each refused for one reason, and the JSON path the error names.
std::vector<BadConfig> bad_configurations() {
    return {
        {"{", "$"},
        {"{\n  \"models\": ,\n}", "$", "at line 2, column 13"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]},)"
         "\n" R"("m":{"servers":[{"id":2,"url":"http://b:1"}]}}})",
         "$", R"(names the key "m" twice in one object, the second time at line 2)"},
        {R"({"listen":{"port":0}})", "$.models"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"ftp://user:secret@x"}]}}})", R"($.models["m"].servers[0].url)",
         R"(its scheme is "ftp")"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"secret@127.0.0.1:1"}]}}})", R"($.models["m"].servers[0].url)",
         "names no scheme"},
        {R"({"models":{"m":{"servers":[{"url":"http://127.0.0.1:1"}]}}})", R"($.models["m"].servers[0].id)"},
        {R"({"routing_mode":"fastest","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})", "$.routing_mode"},
        {R"({"models":{"m":{"algorithm":"random","servers":[{"id":1,"url":"http://a:1"}]}}})",
         R"($.models["m"].algorithm)"},
        {R"({"timeouts":{"connect_sec":-1},"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.timeouts.connect_sec"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1","max_concurency":2}]}}})",
         R"($.models["m"].servers[0].max_concurency)"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1"},{"id":1,"url":"http://b:1"}]}}})",
         R"($.models["m"].servers[1].id)"},
        {R"({"access_log_format":"xml","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.access_log_format"},
        {R"({"admin_token_env":"QUILLMAR_E2E_UNSET_VARIABLE","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.admin_token_env"},
        {R"({"admin_token_file":"/nonexistent/token","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.admin_token_file"},
        {R"({"admin_token_file":"/dev/null","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.admin_token_file"},
        // A device or a FIFO would never end, or block the loop at a reload.
        {R"({"admin_token_file":"/dev/zero","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.admin_token_file", "not a regular file"},
        // A NUL would name another variable (or file) than the one written.
        {"{\"admin_token_env\":\"HOME\\u0000X\",\"models\":{\"m\":{\"servers\":[{\"id\":1,\"url\":\"http://a:1\"}]}}}",
         "$.admin_token_env", "must not hold a NUL character"},
        // Truncated, it would mean no cap at all.
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1","max_concurrency":0.5}]}}})",
         R"($.models["m"].servers[0].max_concurrency)", "at least 1"},
        // What would go into every upstream request line or Host header, or into metrics labels.
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1/p\r\nX-Evil: 1"}]}}})", R"($.models["m"].servers[0].url)"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1/p q"}]}}})", R"($.models["m"].servers[0].url)"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://user:secret@a:1"}]}}})", R"($.models["m"].servers[0].url)",
         "holds user information"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://::1:80"}]}}})", R"($.models["m"].servers[0].url)"},
        {R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:+80"}]}}})", R"($.models["m"].servers[0].url)"},
        {R"({"health_check":{"path":"/health\r\nX-Evil: 1"},"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.health_check.path"},
        // What would only fail once the proxy starts.
        {R"({"models":{"":{"servers":[{"id":1,"url":"http://a:1"}]}}})", R"($.models[""])"},
        // Two pools that metrics and the snapshot would name alike.
        {R"({"models":{"a":{"tier":"|t","servers":[{"id":1,"url":"http://a:1"}]},)"
         R"("a|":{"tier":"t","servers":[{"id":2,"url":"http://b:1"}]}}})",
         R"($.models["a|"].tier)", R"(the label "a|||t" that model "a" has already)"},
        {R"({"listen":{"address":"localhost"},"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.listen.address"},
        {R"({"access_log":"/","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})", "$.access_log"},
        // What only opening the log would find: no folder can be made under a file.
        {R"({"access_log":"/etc/hostname/x.log","models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.access_log", "/etc/hostname is not a directory"},
        // Periods that would keep the proxy's thread spinning.
        {R"({"health_check":{"interval_sec":1e-9},"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.health_check.interval_sec", "must be 0 (off) or at least 0.01"},
        {R"({"reaper_interval_sec":0.001,"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}}})",
         "$.reaper_interval_sec", "must be 0 (off) or at least 0.01"},
    };
}

TEST_F(ProxyE2E, InvalidConfigurationsExitWithStatus2NamingThePath) {
    for (const BadConfig& c : bad_configurations()) {
        SCOPED_TRACE(c.text);
        std::string path = dir_ + "/bad.json";
        write_file(path, c.text);
        const auto [status, text] = check_config(QUILLMAR_PROXY_BIN, path, dir_ + "/bad.err");
        EXPECT_EQ(status, 2);
        EXPECT_NE(text.find("at " + c.path + ":"), std::string::npos) << text;
        EXPECT_NE(text.find(c.detail), std::string::npos) << text;
        EXPECT_EQ(text.find(".hpp"), std::string::npos) << text;  // no parser source paths
        EXPECT_EQ(text.find("secret"), std::string::npos) << text;  // nor a password
    }
    // A start fails the same way, as a configuration error, on a log it cannot open.
    write_file(config_path(), json::serialize(config(json::array{server(1, 1)},
                                                     json::object{{"access_log", "/etc/hostname/x.log"}})));
    try {
        Child proxy({QUILLMAR_PROXY_BIN, "--config", config_path()}, dir_ + "/start.err");
        ADD_FAILURE() << "the proxy started with a log it cannot open";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("configuration error at $.access_log: cannot open access log"),
                  std::string::npos) << e.what();
    }
}

}  // namespace
