// Cluster mode end to end: a redis-server, several quillmar-proxy replicas
// and mock backends that record the most requests they ever ran at once.
// Each case starts and stops its own processes on loopback ports.
#include "e2e/harness.hpp"
#include "e2e/redis_server.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace {

using namespace e2e;

const std::string kChat = "/v1/chat/completions";
const std::string kBody = R"({"model":"m","max_tokens":4,"messages":[{"role":"user","content":"hi"}]})";

// Client threads posting to one replica until stopped, counting answers:
// served, refused at capacity (503, retried after a short pause) and
// anything else.
class Load {
public:
    Load(std::uint16_t port, int threads) {
        for (int i = 0; i < threads; ++i)
            threads_.emplace_back([this, port] {
                while (!stop_) {
                    int status = 0;
                    try {
                        status = post(port, kChat, kBody, {}, 30.0).status;
                    } catch (const std::exception&) {
                    }
                    if (status == 200) {
                        ok_++;
                    } else if (status == 503) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    } else {
                        failed_++;
                    }
                }
            });
    }
    ~Load() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    int ok() const { return ok_; }
    int failed() const { return failed_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> ok_{0};
    std::atomic<int> failed_{0};
    std::vector<std::thread> threads_;
};

class ClusterE2E : public ::testing::Test {
protected:
    std::string dir_ = temp_dir();
    RedisServer redis_;
    std::vector<std::unique_ptr<Child>> backends_;
    std::vector<std::unique_ptr<Child>> replicas_;
    std::int64_t cap_ = 4;
    bool queue_ = false;
    double grant_ttl_sec_ = 2.0;
    json::object extra_;  // top-level settings added to each replica's configuration

    void TearDown() override {
        for (auto& r : replicas_) {
            if (r) {
                EXPECT_EQ(r->stop(), 0) << "replica " << r->pid();
            }
        }
        if (HasFailure()) {
            for (auto& r : replicas_) {
                if (r) std::fprintf(stderr, "---- replica %d ----\n%s\n", r->pid(), r->stderr_text().c_str());
            }
        }
        for (auto& b : backends_) b->stop();
    }

    void start_backends(int n, int ttft_ms = 60) {
        for (int i = 0; i < n; ++i)
            backends_.push_back(std::make_unique<Child>(
                std::vector<std::string>{QUILLMAR_MOCK_BIN, "--port", "0", "--ttft-ms", std::to_string(ttft_ms)},
                dir_ + "/mock" + std::to_string(i) + ".err"));
    }

    std::string config_path(std::size_t i) const { return dir_ + "/replica" + std::to_string(i) + ".json"; }

    void write_config(std::size_t i, std::int64_t cap) {
        json::array servers;
        for (std::size_t b = 0; b < backends_.size(); ++b)
            servers.push_back(json::object{{"id", static_cast<std::int64_t>(b + 1)},
                                           {"url", "http://127.0.0.1:" + std::to_string(backends_[b]->port())},
                                           {"max_concurrency", cap}});
        json::object cfg{
            {"listen", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
            {"admin", json::object{{"address", "127.0.0.1"}, {"port", 0}}},
            {"routing_mode", "max_concurrency"},
            // The queue stays off: a parked request admitted by a lease's end
            // resumes a moment later, and a new arrival can take the slot in
            // between, which would blur the peak this suite checks.
            {"queue", json::object{{"enabled", queue_}, {"ttl_sec", 30}, {"max_depth_multiplier", 100}}},
            {"health_check", json::object{{"interval_sec", 0}}},
            {"access_log", "off"},
            {"cluster", json::object{{"redis_url", redis_.url()},
                                     {"replica_id", "r" + std::to_string(i)},
                                     {"grant_ttl_sec", grant_ttl_sec_},
                                     {"renew_interval_sec", 0.2}}},
            {"models", json::object{{"m", json::object{{"algorithm", "least_connections"}, {"servers", servers}}}}}};
        for (const auto& [key, value] : extra_) cfg[key] = value;
        write_file(config_path(i), json::serialize(cfg));
    }

    void start_replicas(int n) {
        for (int i = 0; i < n; ++i) {
            std::size_t idx = replicas_.size();
            write_config(idx, cap_);
            replicas_.push_back(std::make_unique<Child>(
                std::vector<std::string>{QUILLMAR_PROXY_BIN, "--config", config_path(idx)},
                dir_ + "/replica" + std::to_string(idx) + ".err"));
        }
    }

    std::uint16_t port(std::size_t replica) const { return replicas_.at(replica)->port(); }

    json::object cluster(std::size_t replica) {
        return get(replicas_.at(replica)->admin_port(), "/lb/snapshot").json().at("cluster").as_object();
    }
    std::int64_t grant(std::size_t replica, std::size_t backend = 0) {
        return cluster(replica).at("backends").at(backend).at("grant").to_number<std::int64_t>();
    }
    std::int64_t peak(std::size_t backend) {
        return get(backends_.at(backend)->port(), "/mock/stats").json().at("peak_active").to_number<std::int64_t>();
    }
    void expect_peaks_within(std::int64_t cap) {
        for (std::size_t b = 0; b < backends_.size(); ++b) EXPECT_LE(peak(b), cap) << "backend " << b;
    }
};

TEST_F(ClusterE2E, SpreadLoadNeverExceedsAnyCap) {
    start_backends(2);
    start_replicas(3);
    {
        Load a(port(0), 6), b(port(1), 6), c(port(2), 6);
        std::this_thread::sleep_for(std::chrono::seconds(4));
        a.stop(), b.stop(), c.stop();
        EXPECT_EQ(a.failed() + b.failed() + c.failed(), 0);
        EXPECT_GT(a.ok() * b.ok() * c.ok(), 0);  // every replica served
    }
    expect_peaks_within(cap_);
    for (std::size_t b = 0; b < backends_.size(); ++b) EXPECT_EQ(peak(b), cap_) << "capacity left unused";
}

TEST_F(ClusterE2E, SkewedLoadMovesCapacityToTheBusyReplica) {
    cap_ = 6;
    start_backends(1);
    start_replicas(2);
    for (std::size_t busy : {0u, 1u}) {
        SCOPED_TRACE("busy replica " + std::to_string(busy));
        Load load(port(busy), 10);
        // A few renewal intervals (0.2 s), plus the handover's drain.
        EXPECT_TRUE(eventually([&] { return grant(busy) == cap_; }, 5.0));
        EXPECT_EQ(grant(1 - busy), 0);
    }
    expect_peaks_within(cap_);
}

// A replica without a grant parks the request, asks Redis for capacity and
// admits it once the grant comes (here: after the new cluster's rebuild
// window of one TTL, 2 s).
TEST_F(ClusterE2E, ParkedRequestIsServedWhenTheGrantArrives) {
    queue_ = true;
    start_backends(1);
    start_replicas(1);
    auto started = std::chrono::steady_clock::now();
    Response r = post(port(0), kChat, kBody, {}, 20.0);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
    EXPECT_TRUE(eventually([&] { return grant(0) == 0; }, 5.0));  // given back once idle
}

// Without a queue, a lone replica whose idle share went back to 0 still
// serves the next request: it waits for the renewal its demand brings
// forward instead of answering 503.
TEST_F(ClusterE2E, IdleReplicaServesItsNextRequestWithoutAQueue) {
    start_backends(1);
    start_replicas(1);
    // Past the new cluster's rebuild window (one TTL, 2 s).
    ASSERT_TRUE(eventually([&] { return post(port(0), kChat, kBody).status == 200; }, 10.0));
    ASSERT_TRUE(eventually([&] { return grant(0) == 0; }, 10.0));
    Response r = post(port(0), kChat, kBody);
    EXPECT_EQ(r.status, 200) << r.body;
}

TEST_F(ClusterE2E, KilledReplicaGrantReturnsAfterTheTtl) {
    start_backends(1);
    start_replicas(2);
    {
        Load a(port(0), 6), b(port(1), 6);
        EXPECT_TRUE(eventually([&] { return grant(0) == 2 && grant(1) == 2; }, 5.0));
        replicas_[0]->signal(SIGKILL);
        replicas_[0]->wait_exit(10.0);
        replicas_[0].reset();
        auto killed = std::chrono::steady_clock::now();
        EXPECT_TRUE(eventually([&] { return grant(1) == cap_; }, 6.0));
        // Not before the dead replica's entry expired (TTL 2 s from its
        // last renewal, at most 0.2 s before the kill).
        EXPECT_GE(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(1500));
    }
    expect_peaks_within(cap_);
}

// A replica told to stop keeps its grants renewed while its running
// requests drain, and gives them back only then.
TEST_F(ClusterE2E, StoppingReplicaKeepsItsGrantsUntilItsRequestsEnd) {
    start_backends(1, 1500);
    start_replicas(2);
    {
        Load a(port(0), 4), b(port(1), 4);
        ASSERT_TRUE(eventually([&] { return grant(0) == 2 && grant(1) == 2; }, 8.0));
        replicas_[0]->signal(SIGTERM);
        a.stop();
        EXPECT_EQ(replicas_[0]->wait_exit(10.0), 0);
        replicas_[0].reset();
        EXPECT_TRUE(eventually([&] { return grant(1) == cap_; }, 6.0));
    }
    expect_peaks_within(cap_);
}

TEST_F(ClusterE2E, RedisStoppedThenRestarted) {
    start_backends(1);
    start_replicas(2);
    Load a(port(0), 6), b(port(1), 6);
    ASSERT_TRUE(eventually([&] { return grant(0) == 2 && grant(1) == 2; }, 5.0));

    redis_.stop();
    // Grants held until they would have expired, then the safe share: the
    // cap over the two replicas last seen. Requests keep flowing.
    ASSERT_TRUE(eventually([&] { return cluster(0).at("fallback").as_bool(); }, 6.0));
    int served = a.ok() + b.ok();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GT(a.ok() + b.ok(), served);
    EXPECT_EQ(grant(0), 2);
    EXPECT_EQ(grant(1), 2);
    EXPECT_GT(cluster(0).at("redis_errors").to_number<std::int64_t>(), 0);

    redis_.start();  // empty: scripts and grants are rebuilt by the renewals
    EXPECT_TRUE(eventually([&] { return !cluster(0).at("fallback").as_bool() && !cluster(1).at("fallback").as_bool(); },
                           6.0));
    EXPECT_TRUE(eventually([&] { return grant(0) + grant(1) == cap_; }, 6.0));
    a.stop(), b.stop();
    EXPECT_EQ(a.failed() + b.failed(), 0);
    expect_peaks_within(cap_);
}

// Cut off from Redis, a replica falls back to its share of the cap: a
// share in the trillions is a number to set, not one step per slot with
// the loop blocked meanwhile.
TEST_F(ClusterE2E, FallbackToAHugeShareKeepsServing) {
    cap_ = 1'000'000'000'000;
    start_backends(1);
    start_replicas(1);
    ASSERT_TRUE(eventually([&] { return post(port(0), kChat, kBody).status == 200; }, 10.0));  // past the rebuild window
    redis_.stop();
    auto snapshot_grant = [&] {
        return get(replicas_[0]->admin_port(), "/lb/snapshot", 5.0).json().at("cluster").at("backends").at(0).at(
            "grant").to_number<std::int64_t>();
    };
    ASSERT_TRUE(eventually([&] { return snapshot_grant() == cap_; }, 15.0));
    EXPECT_EQ(post(port(0), kChat, kBody, {}, 5.0).status, 200);
}

// A backend at grant 0 holds one placeholder count that keeps it full. When
// it fails its health check, the in-flight reaper must leave that count
// alone: back in health, the backend still takes no request this replica
// holds no grant for (here, within a new cluster's long rebuild window).
TEST_F(ClusterE2E, ZeroGrantStaysFullThroughTheReaper) {
    grant_ttl_sec_ = 60.0;
    extra_ = {{"health_check", json::object{{"interval_sec", 0.05}}}, {"reaper_interval_sec", 0.05}};
    start_backends(1);
    start_replicas(1);
    auto set_health = [&](const char* state) {
        ASSERT_EQ(request(backends_[0]->port(), http::verb::put, "/mock/health", state).status, 200);
    };
    auto logged = [&](const char* text) {
        return eventually([&] { return replicas_[0]->stderr_text().find(text) != std::string::npos; }, 10.0);
    };
    set_health("fail");
    ASSERT_TRUE(logged("fails its health check"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // ten reaper passes
    set_health("ok");
    ASSERT_TRUE(logged("passes its health check again"));
    Response r = post(port(0), kChat, kBody, {}, 10.0);
    EXPECT_EQ(r.status, 503) << r.body;
    EXPECT_EQ(replicas_[0]->stderr_text().find("Force-cleared"), std::string::npos);
}

TEST_F(ClusterE2E, ReloadAppliesALowerCap) {
    start_backends(1);
    start_replicas(2);
    Load a(port(0), 4), b(port(1), 4);
    ASSERT_TRUE(eventually([&] { return grant(0) + grant(1) == cap_; }, 5.0));
    for (std::size_t i = 0; i < 2; ++i) {
        write_config(i, 2);
        replicas_[i]->signal(SIGHUP);
    }
    EXPECT_TRUE(eventually([&] { return grant(0) == 1 && grant(1) == 1; }, 5.0));
    get(backends_[0]->port(), "/mock/stats");
    request(backends_[0]->port(), http::verb::delete_, "/mock/stats");  // peak from now on
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LE(peak(0), 2);
    EXPECT_EQ(cluster(0).at("backends").at(0).at("cap").to_number<std::int64_t>(), 2);
}

TEST(ClusterConfig, BadSectionsAreRejectedWithTheirPath) {
    struct Case {
        const char* cluster;
        const char* path;
    };
    const Case cases[] = {
        {R"({"replica_id":"a"})", "$.cluster.redis_url"},
        {R"({"redis_url":"http://127.0.0.1:1","replica_id":"a"})", "$.cluster.redis_url"},
        {R"({"redis_url":"redis://127.0.0.1:70000","replica_id":"a"})", "$.cluster.redis_url"},
        {R"({"redis_url":"redis://127.0.0.1"})", "$.cluster.replica_id"},
        {R"({"redis_url":"redis://127.0.0.1","replica_id":"a b"})", "$.cluster.replica_id"},
        {R"({"redis_url":"redis://127.0.0.1","replica_id":"a","grant_ttl_sec":1,"renew_interval_sec":0.5})",
         "$.cluster.renew_interval_sec"},
        {R"({"redis_url":"redis://127.0.0.1","replica_id":"a","grant_ttl":1})", "$.cluster.grant_ttl"},
    };
    std::string dir = temp_dir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cluster);
        std::string path = dir + "/bad.json";
        write_file(path, std::string(R"({"models":{"m":{"servers":[{"id":1,"url":"http://a:1"}]}},"cluster":)") +
                             c.cluster + "}");
        const auto [status, text] = check_config(QUILLMAR_PROXY_BIN, path, dir + "/bad.err");
        EXPECT_EQ(status, 2);
        EXPECT_NE(text.find("at " + std::string(c.path) + ":"), std::string::npos) << text;
    }
}

}  // namespace
