// The proxy's step-by-step message read against Beast's own read on the
// same bytes, delivered in the same pieces: same error, same parser state,
// same bytes left over for the next message; and its whole write against
// Asio's on a peer that takes a few bytes at a time or fails.
#include "proxy/framing.hpp"
#include "proxy/message.hpp"
#include "proxy/step_io.hpp"
#include "proxy/stream.hpp"

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/string_body.hpp>
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <string>
#include <type_traits>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using quillmar::proxy::MessageRead;
using quillmar::proxy::WriteAll;

// Hands out the pieces one read at a time (a read takes what fits), then
// the end of the stream.
class Pieces {
public:
    explicit Pieces(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers, beast::error_code& ec) {
        if (next_ == pieces_.size()) {
            ec = boost::asio::error::eof;
            return 0;
        }
        ec = {};
        ++reads_;
        std::string& piece = pieces_[next_];
        const std::size_t n = boost::asio::buffer_copy(buffers, boost::asio::buffer(piece));
        piece.erase(0, n);
        if (piece.empty()) ++next_;
        return n;
    }
    template <class MutableBuffers>
    std::size_t read_some(const MutableBuffers& buffers) {
        beast::error_code ec;
        return read_some(buffers, ec);
    }

    int reads() const { return reads_; }

private:
    std::vector<std::string> pieces_;
    std::size_t next_ = 0;
    int reads_ = 0;
};

struct Outcome {
    beast::error_code ec;
    bool header_done = false;
    bool done = false;
    std::string body;
    std::string left;  // bytes buffered past the message
};

// Reads one message with `how` (Beast's read or the step reader) from the
// bytes already buffered and then the pieces, and says where it ended.
template <bool isRequest, class How>
Outcome read_with(How how, const std::string& buffered, const std::vector<std::string>& pieces) {
    Pieces stream(pieces);
    beast::flat_buffer buffer;
    buffer.commit(boost::asio::buffer_copy(buffer.prepare(buffered.size()), boost::asio::buffer(buffered)));
    http::parser<isRequest, http::string_body> p;
    p.header_limit(256);
    p.body_limit(64);
    Outcome out;
    out.ec = how(stream, buffer, p);
    out.header_done = p.is_header_done();
    out.done = p.is_done();
    out.body = p.get().body();
    out.left = beast::buffers_to_string(buffer.data());
    return out;
}

template <bool isRequest>
Outcome beast_read(const std::string& buffered, const std::vector<std::string>& pieces, bool header_only) {
    return read_with<isRequest>(
        [&](Pieces& stream, beast::flat_buffer& buffer, auto& p) {
            beast::error_code ec;
            if (header_only) http::read_header(stream, buffer, p, ec);
            else http::read(stream, buffer, p, ec);
            return ec;
        },
        buffered, pieces);
}

template <bool isRequest>
Outcome step_read(const std::string& buffered, const std::vector<std::string>& pieces, bool header_only) {
    return read_with<isRequest>(
        [&](Pieces& stream, beast::flat_buffer& buffer, auto& p) {
            using Read = MessageRead<isRequest>;
            Read read(buffer, p, header_only ? Read::Until::header : Read::Until::message);
            while (read.wants_bytes()) {
                beast::error_code ec;
                const std::size_t n = stream.read_some(read.space(), ec);
                read.received(ec, n);
            }
            return read.error();
        },
        buffered, pieces);
}

struct Case {
    const char* name;
    bool request;
    bool header_only;
    std::string buffered;  // already in the buffer before the first read
    std::vector<std::string> pieces;
    beast::error_code expected;
};

const std::string kPost = "POST /v1/chat HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello";

TEST(MessageRead, MatchesBeastOnTheSameBytes) {
    const std::vector<Case> cases = {
        {"whole request in one read", true, false, "", {kPost}, {}},
        {"head byte by byte", true, true, "",
         [] {
             std::vector<std::string> v;
             for (char c : kPost) v.emplace_back(1, c);
             return v;
         }(),
         {}},
        {"head buffered, no read needed", true, true, kPost, {}, {}},
        {"pipelined: the second request stays buffered", true, false, kPost + kPost, {}, {}},
        {"body split across reads", true, false, "", {kPost.substr(0, 56), kPost.substr(56)}, {}},
        {"chunked body", true, false, "",
         {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc", "\r\n2\r\nde\r\n0\r\n\r\n"}, {}},
        {"end before any byte", true, false, "", {}, http::error::end_of_stream},
        {"end inside the head", true, true, "", {"POST / HTTP/1.1\r\nHost"}, http::error::partial_message},
        {"end inside the body", true, false, "", {kPost.substr(0, kPost.size() - 2)}, http::error::partial_message},
        {"malformed head", true, true, "", {"POST / HTTP/1.1\r\nBad Header\r\n\r\n"}, http::error::bad_field},
        {"head over its limit", true, true, "", {"GET / HTTP/1.1\r\nX: " + std::string(300, 'a')},
         http::error::header_limit},
        {"body over its limit", true, false, "",
         {"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'b')}, http::error::body_limit},
        {"response body ended by the connection's end", false, false, "",
         {"HTTP/1.1 200 OK\r\n\r\npart one ", "part two"}, {}},
        {"response head then the end", false, true, "", {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n"}, {}},
        {"stale connection: nothing, then the end", false, true, "", {}, http::error::end_of_stream},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome want = c.request ? beast_read<true>(c.buffered, c.pieces, c.header_only)
                                       : beast_read<false>(c.buffered, c.pieces, c.header_only);
        const Outcome got = c.request ? step_read<true>(c.buffered, c.pieces, c.header_only)
                                      : step_read<false>(c.buffered, c.pieces, c.header_only);
        EXPECT_EQ(want.ec, c.expected) << want.ec.message();  // the table itself is right
        EXPECT_EQ(got.ec, want.ec) << got.ec.message();
        EXPECT_EQ(got.header_done, want.header_done);
        EXPECT_EQ(got.done, want.done);
        EXPECT_EQ(got.body, want.body);
        EXPECT_EQ(got.left, want.left);
    }
}

// A large body that has arrived whole is read in a read or two, not in
// reads the size of the buffer's spare room (hundreds for 40 KB).
TEST(MessageRead, ReadsTheRestOfABodyOfKnownLengthAtOnce) {
    const std::string body(40000, 'x');
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const struct {
        bool request;
        std::string head;
    } cases[] = {{true, "POST /v1/embeddings HTTP/1.1\r\nHost: a\r\n" + length},
                 {false, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + length}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        Pieces stream({c.head + body});
        beast::flat_buffer buffer;
        auto read_all = [&](auto& parser) {
            using Read = MessageRead<std::remove_reference_t<decltype(parser)>::is_request::value>;
            Read read(buffer, parser, Read::Until::message);
            while (read.wants_bytes()) {
                beast::error_code ec;
                const std::size_t n = stream.read_some(read.space(), ec);
                read.received(ec, n);
            }
            EXPECT_FALSE(read.error()) << read.error().message();
            EXPECT_EQ(parser.get().body(), body);
        };
        if (c.request) {
            http::request_parser<http::string_body> parser;
            read_all(parser);
        } else {
            http::response_parser<http::string_body> parser;
            read_all(parser);
        }
        EXPECT_LE(stream.reads(), 2);
    }
}

// A client that announces a large body and sends it a little at a time
// does not get a buffer sized for the whole: that would let every slow
// connection hold the largest read.
TEST(MessageRead, ATrickledBodyKeepsTheBufferSmall) {
    std::vector<std::string> pieces{"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1000000\r\n\r\n"};
    pieces.insert(pieces.end(), 20, std::string(100, 'x'));
    Pieces stream(pieces);
    beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    parser.body_limit(2000000);
    MessageRead<true> read(buffer, parser, MessageRead<true>::Until::message);
    std::size_t most = 0;
    while (read.wants_bytes()) {
        beast::error_code ec;
        const std::size_t n = stream.read_some(read.space(), ec);
        read.received(ec, n);
        most = std::max(most, buffer.capacity());
    }
    EXPECT_EQ(read.error(), http::error::partial_message);
    EXPECT_EQ(parser.get().body().size(), 2000u);
    EXPECT_LE(most, 32u * 1024);
}

// A body of known length read past the parser, straight into its place:
// the bytes Beast's read gives the body, the same error when the stream
// ends early, and the same bytes left over when a peer sends more than the
// message (a connection holding them is not reused).
TEST(LengthRead, ReadsTheBodyBeastWouldRead) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
    struct Row {
        const char* name;
        std::string buffered;  // with the head, before the first read
        std::vector<std::string> pieces;
    };
    const std::vector<Row> rows{
        {"whole body buffered", "hello", {}},
        {"body in pieces", "he", {"l", "lo"}},
        {"cut short", "he", {"l"}},
        {"more than the message in the last read", "", {"hel", "loHTTP/1.1"}},
        {"more than the message already buffered", "helloHTTP", {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Outcome expected = beast_read<false>(head + r.buffered, r.pieces, false);
        Pieces stream(r.pieces);
        beast::flat_buffer buffer;
        const std::string bytes = head + r.buffered;
        buffer.commit(boost::asio::buffer_copy(buffer.prepare(bytes.size()), boost::asio::buffer(bytes)));
        http::response_parser<http::empty_body> parser;
        parser.eager(false);
        beast::error_code ec;
        buffer.consume(parser.put(buffer.data(), ec));
        ASSERT_TRUE(parser.is_header_done());
        std::string body(5, '\0');
        quillmar::proxy::LengthRead read(buffer, boost::asio::buffer(body));
        while (read.wants_bytes()) {
            const std::size_t n = stream.read_some(read.space(), ec);
            read.received(ec, n);
        }
        EXPECT_EQ(read.error(), expected.ec);
        if (!expected.ec) {
            EXPECT_EQ(body, expected.body);
        }
        EXPECT_EQ(beast::buffers_to_string(buffer.data()), expected.left);
    }
}

// A chunked request's trailer comes off its fields whatever it names: Beast
// files a trailer field that repeats a head field's name beside that field,
// not at the end, and the head's own last fields must stay.
TEST(HeadFields, DropTrailerLeavesExactlyTheHeadsFields) {
    const std::string head =
        "POST /v1/chat/completions HTTP/1.1\r\nHost: p\r\nX-Foo: head\r\nAuthorization: Bearer client\r\n"
        "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string want = "Host=p|X-Foo=head|Authorization=Bearer client|Content-Type=application/json|"
                             "Transfer-Encoding=chunked|";
    for (const std::string trailer : {"", "X-New: t\r\n", "X-Foo: t\r\nAuthorization: Bearer t\r\n",
                                      "Content-Type: t\r\nHost: t\r\nX-New: t\r\n"}) {
        SCOPED_TRACE(trailer);
        quillmar::proxy::RequestParser parser;
        parser.eager(true);
        beast::error_code ec;
        auto feed = [&](std::string_view bytes) {
            while (!bytes.empty() && !ec) {
                const std::size_t n = parser.put(boost::asio::buffer(bytes), ec);
                if (n == 0) break;
                bytes.remove_prefix(n);
            }
        };
        feed(head);
        ASSERT_TRUE(parser.is_header_done()) << ec.message();
        const quillmar::proxy::HeadFields fields(parser.get());
        feed("2\r\n{}\r\n0\r\n" + trailer + "\r\n");
        ASSERT_TRUE(parser.is_done()) << ec.message();
        fields.drop_trailer(parser.get());
        std::string got;
        for (const auto& f : parser.get()) got += std::string(f.name_string()) + "=" + std::string(f.value()) + "|";
        EXPECT_EQ(got, want);
    }
}

// A head spanning several of the arena's blocks, one field larger than a
// block, read whole and intact into arena memory; then the arena is emptied
// and filled again, as the next request on a connection does.
TEST(RequestArena, HoldsHeadsLargerThanItsBlocks) {
    using quillmar::proxy::RequestArena;
    const std::string big(3 * RequestArena::kBlockBytes, 'z');
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 200; ++i) head += "X-Field-" + std::to_string(i) + ": " + std::string(100, char('a' + i % 26)) + "\r\n";
    head += "X-Big: " + big + "\r\nContent-Length: 2\r\n\r\nok";
    RequestArena arena;
    for (int round = 0; round < 2; ++round) {
        {
            quillmar::proxy::ArenaBuffer buffer(arena.allocator());
            http::response_parser<http::string_body, quillmar::proxy::FieldAlloc> parser(
                std::piecewise_construct, std::make_tuple(), std::make_tuple(arena.allocator()));
            parser.header_limit(256 * 1024);
            Pieces stream({head.substr(0, 5000), head.substr(5000)});
            MessageRead read(buffer, parser, MessageRead<false>::Until::message);
            while (read.wants_bytes()) {
                beast::error_code ec;
                const std::size_t n = stream.read_some(read.space(), ec);
                read.received(ec, n);
            }
            ASSERT_FALSE(read.error()) << read.error().message();
            const auto& res = parser.get();
            EXPECT_EQ(res["X-Big"], big);
            for (int i = 0; i < 200; i += 37)
                EXPECT_EQ(res["X-Field-" + std::to_string(i)], std::string(100, char('a' + i % 26)));
            EXPECT_EQ(res.body(), "ok");
        }
        arena.release();
    }
}

// Takes at most `per_write` bytes a call; the call after `writes_before_failure` fails.
struct Taker {
    std::size_t per_write;
    int writes_before_failure;
    std::string got;

    template <class ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers, beast::error_code& ec) {
        if (writes_before_failure-- == 0) {
            ec = boost::asio::error::broken_pipe;
            return 0;
        }
        ec = {};
        std::string all = beast::buffers_to_string(buffers);
        all.resize(std::min(all.size(), per_write));
        got += all;
        return all.size();
    }
    template <class ConstBuffers>
    std::size_t write_some(const ConstBuffers& buffers) {
        beast::error_code ec;
        return write_some(buffers, ec);
    }
};

TEST(WriteAll, MatchesAsioWrite) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 26\r\n\r\n";
    const std::string body = "abcdefghijklmnopqrstuvwxyz";
    const std::array<boost::asio::const_buffer, 2> whole{boost::asio::buffer(head), boost::asio::buffer(body)};
    const struct {
        std::size_t per_write;
        int writes_before_failure;
    } cases[] = {{1000, 100}, {7, 100}, {1, 1000}, {7, 3}, {1000, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.per_write);
        SCOPED_TRACE(c.writes_before_failure);
        Taker asio{c.per_write, c.writes_before_failure, {}};
        beast::error_code want;
        boost::asio::write(asio, whole, want);
        Taker step{c.per_write, c.writes_before_failure, {}};
        WriteAll out(whole);
        while (out.wants_write()) {
            beast::error_code ec;
            const std::size_t n = step.write_some(out.rest(), ec);
            out.wrote(ec, n);
        }
        EXPECT_EQ(out.error(), want);
        EXPECT_EQ(step.got, asio.got);
    }
}

// On a real socket: what the socket's buffer takes goes out at once, the
// rest when the peer reads; a peer that reset the connection is an error at
// once, as an asynchronous write would report it.
TEST(WriteAll, WritesWhatASocketTakesAtOnceAndWaitsForTheRest) {
    namespace net = boost::asio;
    using net::ip::tcp;
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        net::io_context io;
        tcp::acceptor acceptor(io, {net::ip::address_v4::loopback(), 0});
        tcp::socket socket(io);
        socket.connect(acceptor.local_endpoint());
        tcp::socket peer = acceptor.accept();
        // Small buffers without autotuning: the data cannot fit at once.
        socket.set_option(net::socket_base::send_buffer_size(64 * 1024));
        peer.set_option(net::socket_base::receive_buffer_size(64 * 1024));
        if (reset) {
            peer.set_option(net::socket_base::linger(true, 0));
            peer.close();
            // Readable once the reset has arrived (at most ten seconds).
            pollfd ready{socket.native_handle(), POLLIN, 0};
            ASSERT_EQ(::poll(&ready, 1, 10000), 1);
        }
        quillmar::proxy::Stream stream(std::move(socket));
        std::string data(4 << 20, '\0');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);

        WriteAll out(net::buffer(data));
        if (reset) {
            out.write_now(stream);
            EXPECT_TRUE(out.error()) << out.error().message();
            EXPECT_FALSE(out.wants_write());
            continue;
        }
        out.write_now(stream);
        ASSERT_FALSE(out.error()) << out.error().message();
        const std::size_t at_once = data.size() - net::buffer_size(out.rest());
        EXPECT_GT(at_once, 0u);
        EXPECT_TRUE(out.wants_write());
        out.write_now(stream);  // the buffer is full (or nearly): not an error
        EXPECT_FALSE(out.error());

        std::string got(data.size(), '\0');
        net::co_spawn(
            io,
            [&]() -> net::awaitable<void> {
                while (out.wants_write()) {
                    auto [ec, n] = co_await stream.async_write_some(out.rest(), net::as_tuple(net::use_awaitable));
                    out.wrote(ec, n);
                }
            },
            net::detached);
        net::async_read(peer, net::buffer(got), [](const beast::error_code&, std::size_t) {});
        io.run();
        EXPECT_FALSE(out.error());
        EXPECT_TRUE(got == data);
    }
}

}  // namespace
