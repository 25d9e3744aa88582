// A Redis connection for the proxy's event loop: Asio does the socket work
// (resolve, connect, read, write, time-outs, cancellation) and hiredis only
// encodes commands and decodes replies (RESP). Nothing here blocks the loop:
// hiredis's own connect would resolve names with a blocking getaddrinfo.
//
// One command at a time: call() is not re-entrant, its caller (the grant
// renewal loop) awaits each reply before sending the next command.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillmar::proxy {

// Redis unreachable, too slow, or answering something unusable. The
// connection is closed when this is thrown; the next call reconnects.
class RedisError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One decoded reply. Errors are returned as replies (type error, text in
// `str`), not thrown: a script's own refusal is an answer, not an outage.
struct RedisReply {
    enum class Type { string, array, integer, nil, status, error };
    Type type = Type::nil;
    std::string str;
    std::int64_t integer = 0;
    std::vector<RedisReply> elements;
};

// Where Redis listens: "redis://host[:port][/db]" (port 6379, db 0 when
// absent). Throws std::invalid_argument naming what is wrong.
struct RedisAddress {
    std::string host;
    std::uint16_t port = 6379;
    std::int64_t db = 0;
};
RedisAddress parse_redis_url(const std::string& url);

class RedisClient {
public:
    RedisClient(boost::asio::any_io_executor executor, RedisAddress address);
    ~RedisClient();
    RedisClient(const RedisClient&) = delete;
    RedisClient& operator=(const RedisClient&) = delete;

    // Sends one command and returns its reply, connecting first (and
    // selecting the database) when there is no connection. `timeout_sec`
    // bounds the whole call, connect included. Throws RedisError on a
    // network failure, a time-out or a malformed reply.
    boost::asio::awaitable<RedisReply> call(std::vector<std::string> args, double timeout_sec);
    // Drops the connection; a call in progress fails with RedisError.
    void close();
    bool connected() const { return socket_.is_open() && ready_; }

private:
    boost::asio::awaitable<void> connect(std::chrono::steady_clock::time_point deadline);
    boost::asio::awaitable<RedisReply> round_trip(const std::vector<std::string>& args);

    boost::asio::any_io_executor executor_;
    RedisAddress address_;
    boost::asio::ip::tcp::socket socket_;
    struct Reader;
    std::unique_ptr<Reader> reader_;
    struct Lookup;
    std::shared_ptr<Lookup> lookup_;  // the name lookup being waited for, if any
    bool ready_ = false;  // connected and the database selected
};

}  // namespace quillmar::proxy
