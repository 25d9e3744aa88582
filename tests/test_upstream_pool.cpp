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

TEST(UpstreamPool, AConnectionIdleTooLongIsClosedNotHandedOut) {
    quillmar::lb::ManualClock clock;
    net::io_context io;
    tcp::acceptor acceptor(io, {net::ip::make_address("127.0.0.1"), 0});
    std::vector<tcp::socket> backend_sides;  // kept open: the peek finds nothing wrong
    UpstreamPool pool;
    struct Case {
        double idle_sec;
        bool handed_out;
    };
    for (const Case& c : {Case{0.0, true}, Case{UpstreamPool::kMaxIdleSec - 0.1, true},
                          Case{UpstreamPool::kMaxIdleSec, false}}) {
        SCOPED_TRACE(c.idle_sec);
        tcp::socket s(io);
        s.connect(acceptor.local_endpoint());
        backend_sides.push_back(acceptor.accept());
        pool.put("http://b:1", std::make_unique<Stream>(std::move(s)), 4);
        clock.advance(c.idle_sec);
        EXPECT_EQ(pool.take("http://b:1") != nullptr, c.handed_out);
        EXPECT_EQ(pool.idle("http://b:1"), 0u);
    }
}

}  // namespace
