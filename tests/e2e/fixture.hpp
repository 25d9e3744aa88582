// The proxy end-to-end fixture: mock backends and a proxy started per test
// as child processes, with the request bodies, server records and snapshot
// checks the tests share.
#pragma once

#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#ifndef QUILLMAR_PROXY_BIN
#error "QUILLMAR_PROXY_BIN must name the quillmar-proxy executable"
#endif
#ifndef QUILLMAR_MOCK_BIN
#error "QUILLMAR_MOCK_BIN must name the quillmar-mock-backend executable"
#endif
#ifndef QUILLMAR_MISBEHAVE_BIN
#error "QUILLMAR_MISBEHAVE_BIN must name the quillmar-misbehaving-backend executable"
#endif

namespace e2e {

inline const std::string kChat = "/v1/chat/completions";

inline std::string chat_body(const std::string& model, bool stream, int max_tokens, const std::string& content = "hello") {
    json::object body{{"model", model},
                      {"stream", stream},
                      {"max_tokens", max_tokens},
                      {"messages", json::array{json::object{{"role", "user"}, {"content", content}}}}};
    return json::serialize(body);
}

inline json::object server(std::int64_t id, std::uint16_t port, std::int64_t max_concurrency = 4,
                    std::int64_t max_input_tokens = 0) {
    return json::object{{"id", id},
                        {"url", "http://127.0.0.1:" + std::to_string(port)},
                        {"max_concurrency", max_concurrency},
                        {"max_input_tokens", max_input_tokens}};
}

class ProxyE2E : public ::testing::Test {
protected:
    std::string dir_ = temp_dir();
    std::vector<std::unique_ptr<Child>> children_;
    Child* proxy_ = nullptr;
    int next_ = 0;

    void TearDown() override {
        // Every program ends cleanly on SIGTERM: exit status 0, which also
        // means no sanitizer report at exit (leaks included) in that build.
        for (const auto& c : children_) {
            int status = c->stop();
            EXPECT_EQ(status, 0) << "child " << c->pid() << " exit status " << status;
        }
        // Show what the children said when something failed.
        if (HasFailure())
            for (const auto& c : children_) std::fprintf(stderr, "---- child %d stderr ----\n%s\n", c->pid(),
                                                         c->stderr_text().c_str());
        children_.clear();
    }

    Child& backend(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{QUILLMAR_MOCK_BIN, "--port", "0", "--name", name};
        argv.insert(argv.end(), extra.begin(), extra.end());
        children_.push_back(std::make_unique<Child>(argv, dir_ + "/mock-" + name + ".err"));
        return *children_.back();
    }

    // A configuration with one model "m" over `servers`.
    json::object config(json::array servers, json::object extra = {}) {
        json::object cfg{{"listen", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
                         {"admin", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
                         {"routing_mode", "max_concurrency"},
                         {"health_check", json::object{{"interval_sec", 0}}},
                         {"timeouts", json::object{{"connect_sec", 10}, {"first_byte_sec", 30}, {"idle_sec", 30}}},
                         {"models", json::object{{"m", json::object{{"clusters", json::array{1}},
                                                                   {"algorithm", "least_connections"},
                                                                   {"servers", std::move(servers)}}}}}};
        for (auto& kv : extra) cfg[kv.key()] = kv.value();
        return cfg;
    }

    std::string config_path() const { return dir_ + "/proxy.json"; }

    // A backend that breaks HTTP in the given way (see quillmar-misbehaving-backend).
    Child& misbehaving(const std::string& mode, std::vector<std::string> extra = {}) {
        std::vector<std::string> argv{QUILLMAR_MISBEHAVE_BIN, "--port", "0", "--mode", mode};
        argv.insert(argv.end(), extra.begin(), extra.end());
        children_.push_back(std::make_unique<Child>(argv, dir_ + "/misbehaving-" + mode + ".err"));
        return *children_.back();
    }

    // `wrapper`: a command the proxy runs under (for example prlimit);
    // `args`: more of its own options.
    Child& start_proxy(const json::object& cfg, std::vector<std::string> wrapper = {},
                       const std::vector<std::string>& args = {}) {
        write_file(config_path(), json::serialize(cfg));
        wrapper.insert(wrapper.end(), {QUILLMAR_PROXY_BIN, "--config", config_path()});
        wrapper.insert(wrapper.end(), args.begin(), args.end());
        children_.push_back(std::make_unique<Child>(wrapper, dir_ + "/proxy.err"));
        proxy_ = children_.back().get();
        return *proxy_;
    }

    json::object snapshot() { return get(proxy_->admin_port(), "/lb/snapshot").json().as_object(); }

    // Every in-flight count back at 0 and nobody parked.
    bool clean() {
        json::object s = snapshot();
        for (const auto& kv : s.at("inflight").as_object())
            if (kv.value().to_number<std::int64_t>() != 0) return false;
        return s.at("queue_total_waiters").to_number<std::int64_t>() == 0;
    }

    std::int64_t mock_stat(const Child& mock, const char* key) {
        return get(mock.port(), "/mock/stats").json().at(key).to_number<std::int64_t>();
    }

    std::int64_t waiters() { return snapshot().at("queue_total_waiters").to_number<std::int64_t>(); }
    // Takes the only slot with a stream of `holder_tokens` on `holder` (10 s
    // by default with a backend started with --tokens-per-sec 20) and parks a
    // request for `parked_tokens` behind it. False when either did not happen.
    bool hold_then_park(RawConnection& holder, RawConnection& parked, int parked_tokens, int holder_tokens = 200) {
        holder.send_post(kChat, chat_body("m", true, holder_tokens));
        if (!holder.read_until("data: ")) return false;
        parked.send_post(kChat, chat_body("m", false, parked_tokens));
        return eventually([&] { return waiters() == 1; });
    }
    std::int64_t inflight(std::int64_t id) {
        json::object s = snapshot();
        auto* v = s.at("inflight").as_object().if_contains(std::to_string(id));
        return v ? v->to_number<std::int64_t>() : 0;
    }

    std::string metrics() { return get(proxy_->admin_port(), "/metrics").body; }
};

}  // namespace e2e
