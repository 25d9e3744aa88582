// The readers of plain request and answer heads against Beast's parsers:
// every head they take, they read exactly as Beast does (request line or
// status and reason, fields in order, length, keep-alive), and a request
// they take passes the proxy's framing checks; every head outside their
// subset they leave to Beast.
#include "proxy/message.hpp"
#include "proxy/framing.hpp"
#include "proxy/plain_head.hpp"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using quillmar::proxy::read_plain_request;
using quillmar::proxy::read_plain_response;
using quillmar::proxy::RequestArena;

const std::string kTail = "Content-Length: 2\r\n\r\n{}";

// "name: value" lines of a Beast message or a plain head, each marked when
// the proxy takes the field for hop-by-hop, in order.
template <class Head>
std::vector<std::string> field_lines(const Head& head) {
    std::vector<std::string> out;
    for (const auto& f : head)
        out.push_back(std::string(quillmar::proxy::hop_by_hop_field(f) ? "hop " : "") + std::string(f.name_string()) +
                      ": " + std::string(f.value()));
    return out;
}

// Beast's parser on the same head: the bytes its head took (0 when it
// refused the head or found it incomplete).
template <class Parser>
std::size_t beast_head(Parser& parser, const std::string& bytes) {
    parser.eager(false);
    beast::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(bytes), ec);
    return ec || !parser.is_header_done() ? 0 : used;
}

// A plain head's fields are classified by name; every name Beast knows, in
// any case, and near misses must get the answer its field code gets.
TEST(PlainResponse, HopByHopByNameAgreesWithBeastsFieldCodes) {
    using quillmar::proxy::hop_by_hop;
    for (unsigned i = 1; i <= static_cast<unsigned>(http::field::xref); ++i) {
        const std::string name(http::to_string(static_cast<http::field>(i)));
        std::string upper = name;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (const std::string& s : {name, upper, name.substr(1), name + "s", "x-" + name})
            EXPECT_EQ(hop_by_hop(s), hop_by_hop(http::string_to_field(s))) << s;
    }
}

TEST(PlainRequest, ReadsWhatItTakesExactlyAsBeastDoes) {
    const std::string post = "POST /v1/chat/completions HTTP/1.1\r\n";
    const std::vector<std::string> heads{
        post + "Host: p\r\nUser-Agent: wrk\r\nContent-Type: application/json\r\n" + kTail,
        post + "host: p:8080\r\nConnection: keep-alive\r\nX-Session-Id:  s1 \t\r\n" + kTail,
        post + "Host: p\r\nConnection: CLOSE\r\nX-Note: caf\xc3\xa9, seventeen bytes or more\r\n" + kTail,
        "PURGE /v1/models?x=1&y=%41 HTTP/1.1\r\nHost: p\r\nContent-Length: 0\r\n\r\n",
    };
    for (const std::string& bytes : heads) {
        SCOPED_TRACE(bytes);
        RequestArena arena;
        quillmar::proxy::Request req(std::piecewise_construct, std::make_tuple(), std::make_tuple(arena.allocator()));
        const auto plain = read_plain_request(bytes, 1000, req);
        ASSERT_TRUE(plain.has_value());
        http::request_parser<http::string_body> beast;
        ASSERT_EQ(plain->head_bytes, beast_head(beast, bytes));
        const auto& head = beast.get();
        EXPECT_EQ(req.method(), head.method());
        EXPECT_EQ(req.method_string(), head.method_string());
        EXPECT_EQ(req.target(), head.target());
        EXPECT_EQ(req.version(), head.version());
        EXPECT_EQ(req.keep_alive(), head.keep_alive());
        EXPECT_EQ(plain->content_length, beast.content_length().value());
        EXPECT_EQ(field_lines(req), field_lines(head));
        bool expect_continue = true;
        EXPECT_FALSE(quillmar::proxy::check_framing(req, expect_continue).has_value());
        EXPECT_FALSE(expect_continue);
    }
}

TEST(PlainRequest, LeavesEverythingElseToTheGeneralReader) {
    const std::string post = "POST /v1/chat/completions HTTP/1.1\r\n";
    const std::vector<std::pair<const char*, std::string>> heads{
        {"HTTP/1.0", "POST /v1/chat/completions HTTP/1.0\r\nHost: p\r\n" + kTail},
        {"no Host", post + kTail},
        {"two Hosts", post + "Host: p\r\nHost: q\r\n" + kTail},
        {"chunked", post + "Host: p\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"},
        {"no length", post + "Host: p\r\n\r\n"},
        {"over the body limit", post + "Host: p\r\nContent-Length: 1001\r\n\r\n"},
        {"expectation", post + "Host: p\r\nExpect: 100-continue\r\n" + kTail},
        {"connection options", post + "Host: p\r\nConnection: close, X-Secret\r\n" + kTail},
        {"dot segment", "POST /v1/../admin HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"escaped target", "POST /v1/%2e%2e/admin HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"absolute form", "POST http://p/v1/chat/completions HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"fragment", "POST /v1/chat#x HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"separator in the method", "PO(ST /v1/chat/completions HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"two spaces", "POST  /v1/chat/completions HTTP/1.1\r\nHost: p\r\n" + kTail},
        {"empty line first", "\r\n" + post + "Host: p\r\n" + kTail},
        {"obsolete folding", post + "Host: p\r\nX-A: one\r\n two\r\n" + kTail},
        {"bare LF", post + "Host: p\nX-A: one\r\n" + kTail},
        {"head not whole", post + "Host: p\r\nContent-Length: 2\r\n"},
    };
    for (const auto& [name, bytes] : heads) {
        RequestArena arena;
        quillmar::proxy::Request req(std::piecewise_construct, std::make_tuple(), std::make_tuple(arena.allocator()));
        EXPECT_FALSE(read_plain_request(bytes, 1000, req).has_value()) << name;
        EXPECT_EQ(req.begin(), req.end()) << name << ": a declined head leaves the message as it was";
    }
}

TEST(PlainResponse, ReadsWhatItTakesExactlyAsBeastDoes) {
    const std::vector<std::string> heads{
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nx-mock-server: a\r\n" + kTail,
        "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n" + kTail,
        "HTTP/1.0 200 OK\r\n" + kTail,
        "HTTP/1.1 503 Service Unavailable\r\nCONNECTION: Close\r\nRetry-After: 3\r\n" + kTail,
        "HTTP/1.1 404 \r\nX-Blank:\r\nX-Padded: \t a  b \t\r\n" + kTail,
        "HTTP/1.1 200 \xc3\xa9t\xc3\xa9\tok \r\nX-Text: caf\xc3\xa9 \xe2\x82\xac and seventeen more bytes\r\n" + kTail,
        "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nset-cookie: b=2\r\nContent-Length: 0002\r\n\r\n{}",
        "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=5\r\nX-Request-Id: backend-id\r\n" + kTail,
    };
    for (const std::string& bytes : heads) {
        SCOPED_TRACE(bytes);
        RequestArena arena;
        const auto plain = read_plain_response(bytes, arena.allocator());
        ASSERT_TRUE(plain.has_value());
        http::response_parser<http::empty_body> beast;
        ASSERT_EQ(plain->head_bytes, beast_head(beast, bytes));
        const auto& head = beast.get();
        EXPECT_EQ(plain->version, head.version());
        EXPECT_EQ(plain->result_int(), head.result_int());
        EXPECT_EQ(plain->reason(), head.reason());
        EXPECT_EQ(plain->content_length, beast.content_length().value());
        EXPECT_EQ(plain->keep_alive, beast.keep_alive());
        EXPECT_EQ(field_lines(*plain), field_lines(head));
    }
}

TEST(PlainResponse, LeavesEverythingElseToTheGeneralParser) {
    const std::vector<std::pair<const char*, std::string>> heads{
        {"interim", "HTTP/1.1 100 Continue\r\n\r\n"},
        {"switching", "HTTP/1.1 101 Switching Protocols\r\n" + kTail},
        {"no content", "HTTP/1.1 204 No Content\r\n" + kTail},
        {"not modified", "HTTP/1.1 304 Not Modified\r\n" + kTail},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"},
        {"no length", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n{}"},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + kTail},
        {"listed length", "HTTP/1.1 200 OK\r\nContent-Length: 2, 2\r\n\r\n{}"},
        {"signed length", "HTTP/1.1 200 OK\r\nContent-Length: +2\r\n\r\n{}"},
        {"huge length", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n{}"},
        {"connection options", "HTTP/1.1 200 OK\r\nConnection: keep-alive, X-Secret\r\nX-Secret: 1\r\n" + kTail},
        {"proxy-connection", "HTTP/1.1 200 OK\r\nProxy-Connection: close\r\n" + kTail},
        {"obsolete folding", "HTTP/1.1 200 OK\r\nX-A: one\r\n two\r\n" + kTail},
        {"bare LF line end", "HTTP/1.1 200 OK\nX-A: one\r\n" + kTail},
        {"bare CR in a value", "HTTP/1.1 200 OK\r\nX-A: o\rne\r\n" + kTail},
        {"control byte past sixteen", "HTTP/1.1 200 OK\r\nX-A: 0123456789abcdef\x01\r\n" + kTail},
        {"DEL in a long value", "HTTP/1.1 200 OK\r\nX-A: 0123456789abcdef0123\x7f\r\n" + kTail},
        {"space in a name", "HTTP/1.1 200 OK\r\nX A: b\r\n" + kTail},
        {"empty name", "HTTP/1.1 200 OK\r\n: b\r\n" + kTail},
        {"HTTP/2", "HTTP/2.0 200 OK\r\n" + kTail},
        {"short status", "HTTP/1.1 20 OK\r\n" + kTail},
        {"no reason separator", "HTTP/1.1 200\r\n" + kTail},
        {"head not whole", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"},
        {"head over the limit", "HTTP/1.1 200 OK\r\nX-Big: " + std::string(9000, 'a') + "\r\n" + kTail},
    };
    for (const auto& [name, bytes] : heads) {
        RequestArena arena;
        EXPECT_FALSE(read_plain_response(bytes, arena.allocator()).has_value()) << name;
    }
}

}  // namespace
