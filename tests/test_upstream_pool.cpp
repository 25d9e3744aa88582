// The proxy's pool of idle backend connections: one idle too long is closed
// rather than handed out (a middlebox may have dropped it silently).
#include "proxy/upstream_pool.hpp"

#include "load_balancer/runtime.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

namespace net = boost::asio;
using net::ip::tcp;
using quillmar::proxy::Stream;
using quillmar::proxy::UpstreamPool;

// Connections to one backend on a loopback listener; the backend's ends
// stay open unless a test closes them.
struct Backend {
    net::io_context io;
    tcp::acceptor acceptor{io, {net::ip::make_address("127.0.0.1"), 0}};
    std::vector<tcp::socket> sides;
    std::unique_ptr<Stream> connect() {
        tcp::socket s(io);
        s.connect(acceptor.local_endpoint());
        sides.push_back(acceptor.accept());
        return std::make_unique<Stream>(std::move(s));
    }
};

TEST(UpstreamPool, AConnectionIdleTooLongIsClosedNotHandedOut) {
    quillmar::lb::ManualClock clock;
    Backend b;
    UpstreamPool pool;
    struct Case {
        double idle_sec;
        bool handed_out;
    };
    for (const Case& c : {Case{0.0, true}, Case{UpstreamPool::kMaxIdleSec - 0.1, true},
                          Case{UpstreamPool::kMaxIdleSec, false}}) {
        SCOPED_TRACE(c.idle_sec);
        pool.put("http://b:1", b.connect(), 4);
        clock.advance(c.idle_sec);
        EXPECT_EQ(pool.take("http://b:1") != nullptr, c.handed_out);
        EXPECT_EQ(pool.idle("http://b:1"), 0u);
    }
    // The newest closed by the backend, the one behind it idle too long:
    // neither is handed out.
    pool.put("http://b:1", b.connect(), 4);
    clock.advance(UpstreamPool::kMaxIdleSec / 2);
    pool.put("http://b:1", b.connect(), 4);
    b.sides.back().close();
    clock.advance(UpstreamPool::kMaxIdleSec / 2 + 1);
    EXPECT_EQ(pool.take("http://b:1"), nullptr);
}

}  // namespace
