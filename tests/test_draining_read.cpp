// Plain-TCP reads through a Stream: after a read that left room (the socket
// was emptied), the next read waits for the reactor's word instead of
// trying the socket first, and still gets every byte sent after it.
#include "proxy/stream.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string>

namespace {

namespace net = boost::asio;
using net::ip::tcp;
namespace beast = boost::beast;

struct Pair {
    net::io_context io;
    tcp::socket peer{io};
    std::optional<quillmar::proxy::Stream> stream;
    Pair() {
        tcp::acceptor acceptor(io, {net::ip::address_v4::loopback(), 0});
        tcp::socket socket(io);
        socket.connect(acceptor.local_endpoint());
        peer = acceptor.accept();
        stream.emplace(std::move(socket));
    }
    // Starts a read into `room` (one buffer, or two of half its size each).
    template <class F>
    void read(std::string& room, bool two_buffers, F done) {
        auto* p = room.data();
        const std::size_t half = room.size() / 2;
        if (two_buffers)
            stream->async_read_some(std::array{net::mutable_buffer(p, half), net::mutable_buffer(p + half, half)}, done);
        else
            stream->async_read_some(net::buffer(room), done);
    }
    // Runs what is ready until `until` holds (at most a thousand turns).
    template <class P>
    bool settle(P until) {
        for (int i = 0; i < 1000 && !until(); ++i) {
            io.restart();
            io.run_one_for(std::chrono::milliseconds(10));
        }
        return until();
    }
};

TEST(DrainingRead, AReadAfterAShortOneWaitsAndMissesNoByte) {
    for (const bool two_buffers : {false, true}) {
        for (const bool sent_before_the_read : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "two buffers " << two_buffers << ", sent before the read "
                                              << sent_before_the_read);
            Pair s;
            std::string room(64, '\0');
            std::size_t got = 0;
            net::write(s.peer, net::buffer("hello", 5));
            s.read(room, two_buffers, [&](beast::error_code ec, std::size_t n) { got = ec ? 0 : n; });
            ASSERT_TRUE(s.settle([&] { return got > 0; }));
            ASSERT_EQ(room.substr(0, got), "hello");

            got = 0;
            if (sent_before_the_read) net::write(s.peer, net::buffer("world!", 6));
            s.read(room, two_buffers, [&](beast::error_code ec, std::size_t n) { got = ec ? 0 : n; });
            s.io.restart();
            s.io.poll();
            if (!sent_before_the_read) net::write(s.peer, net::buffer("world!", 6));
            ASSERT_TRUE(s.settle([&] { return got > 0; }));
            EXPECT_EQ(room.substr(0, got), "world!");
        }
    }
}

// What the next read does is seen by putting a pipe where the socket was:
// a read that tries at once fails (a pipe is not a socket), one that waits
// for the reactor is still waiting.
TEST(DrainingRead, OnlyAReadThatFilledItsRoomTriesTheSocketAtOnce) {
    struct Case {
        std::size_t sent;
        bool tries_at_once;
    };
    for (const Case c : {Case{64, true}, Case{10, false}}) {
        SCOPED_TRACE(c.sent);
        Pair s;
        std::string room(64, '\0');
        std::string data(c.sent, 'x');
        std::size_t got = 0;
        // The read waits first, as a keep-alive connection's reads do: the
        // bytes come with the reactor's word.
        s.read(room, false, [&](beast::error_code ec, std::size_t n) { got = ec ? 0 : n; });
        s.io.poll();
        net::write(s.peer, net::buffer(data));
        ASSERT_TRUE(s.settle([&] { return got == c.sent; }));

        int pipe_fds[2];
        ASSERT_EQ(::pipe2(pipe_fds, O_NONBLOCK), 0);
        ASSERT_NE(::dup2(pipe_fds[0], s.stream->socket().native_handle()), -1);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        std::optional<beast::error_code> ended;
        s.read(room, false, [&](beast::error_code ec, std::size_t) { ended = ec; });
        s.io.restart();
        s.io.poll();
        EXPECT_EQ(ended.has_value(), c.tries_at_once);
        if (ended) {
            EXPECT_EQ(*ended, net::error::not_socket);
        }
        s.stream->socket().cancel();
        ASSERT_TRUE(s.settle([&] { return ended.has_value(); }));
    }
}

}  // namespace
