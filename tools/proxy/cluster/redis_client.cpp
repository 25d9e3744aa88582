#include "proxy/cluster/redis_client.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <chrono>

namespace quillmar::proxy {

namespace net = boost::asio;
using net::awaitable;
constexpr auto use_tuple = net::as_tuple(net::use_awaitable);

namespace {

// A reply larger than this is not one of ours (three integers per backend:
// tens of thousands of backends fit): the connection is dropped rather than
// buffering it, and converting a reply this size takes the loop thread
// milliseconds, not the tenths of a second a 16 MiB one took.
constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

// hiredis allocates an array's table of elements when it reads the array's
// header, before any element has come: a reply of a dozen bytes could
// announce 2^31 elements, 16 GB of pointers that freeing walks one by one,
// stalling the loop for seconds. The arrays of one reply may announce at
// most what the byte limit could carry (an element takes 4 bytes or more).
constexpr long long kMaxReplyElements = kMaxReplyBytes / 4;
// The count of the reply being parsed, set around each parse (loop thread).
thread_local long long* announced_elements = nullptr;
void* (*hiredis_create_array)(const redisReadTask*, int) = nullptr;

void* create_bounded_array(const redisReadTask* task, int elements) {
    if (announced_elements != nullptr) {
        *announced_elements += std::max(elements, 0);
        if (*announced_elements > kMaxReplyElements) return nullptr;  // hiredis fails the parse
    }
    return hiredis_create_array(task, elements);
}

// hiredis's own reply functions with the array's bound added.
redisReplyObjectFunctions* bounded_functions(const redisReplyObjectFunctions* own) {
    static redisReplyObjectFunctions bounded = [own] {
        redisReplyObjectFunctions f = *own;
        hiredis_create_array = f.createArray;
        f.createArray = create_bounded_array;
        return f;
    }();
    return &bounded;
}

RedisReply convert(const redisReply& r) {
    RedisReply out;
    switch (r.type) {
        case REDIS_REPLY_STRING: out.type = RedisReply::Type::string; break;
        case REDIS_REPLY_ARRAY: out.type = RedisReply::Type::array; break;
        case REDIS_REPLY_INTEGER: out.type = RedisReply::Type::integer; break;
        case REDIS_REPLY_STATUS: out.type = RedisReply::Type::status; break;
        case REDIS_REPLY_ERROR: out.type = RedisReply::Type::error; break;
        default: out.type = RedisReply::Type::nil; break;
    }
    out.integer = r.integer;
    if (r.str != nullptr) out.str.assign(r.str, r.len);
    for (std::size_t i = 0; i < r.elements; ++i) out.elements.push_back(convert(*r.element[i]));
    return out;
}

}  // namespace

RedisAddress parse_redis_url(const std::string& url) {
    constexpr std::string_view scheme = "redis://";
    if (url.rfind(scheme, 0) != 0) throw std::invalid_argument("must start with redis://");
    std::string rest = url.substr(scheme.size());
    RedisAddress a;
    std::string db_text;
    if (auto slash = rest.find('/'); slash != std::string::npos) {
        db_text = rest.substr(slash + 1);
        rest.resize(slash);
    }
    if (rest.find('@') != std::string::npos) throw std::invalid_argument("credentials in the URL are not supported");
    std::string port_text;
    if (!rest.empty() && rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string::npos) throw std::invalid_argument("has an unterminated IPv6 address");
        a.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') throw std::invalid_argument("has a malformed host");
            port_text = rest.substr(close + 2);
        }
    } else if (auto colon = rest.rfind(':'); colon != std::string::npos) {
        a.host = rest.substr(0, colon);
        port_text = rest.substr(colon + 1);
    } else {
        a.host = rest;
    }
    if (a.host.empty()) throw std::invalid_argument("has no host");
    auto number = [](const std::string& text, std::int64_t max) -> std::optional<std::int64_t> {
        std::int64_t v = 0;
        auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc() || p != text.data() + text.size() || v < 0 || v > max) return std::nullopt;
        return v;
    };
    if (!port_text.empty()) {
        auto p = number(port_text, 65535);
        if (!p || *p == 0) throw std::invalid_argument("has an invalid port \"" + port_text + "\"");
        a.port = static_cast<std::uint16_t>(*p);
    }
    if (!db_text.empty()) {
        auto d = number(db_text, 1'000'000);
        if (!d) throw std::invalid_argument("has an invalid database number \"" + db_text + "\"");
        a.db = *d;
    }
    return a;
}

struct RedisClient::Reader {
    redisReader* r = redisReaderCreate();
    std::size_t pending = 0;      // bytes fed since the last complete reply
    long long announced = 0;      // array elements announced since then
    std::array<char, 16384> buf;
    Reader() {
        if (r != nullptr) r->fn = bounded_functions(r->fn);
    }
    ~Reader() { redisReaderFree(r); }
    // The next complete reply, if there is one; throws RedisError for a
    // malformed one.
    redisReply* next_reply() {
        void* raw = nullptr;
        announced_elements = &announced;
        const int status = redisReaderGetReply(r, &raw);
        announced_elements = nullptr;
        if (announced > kMaxReplyElements)
            throw RedisError("reply from Redis announces more than " + std::to_string(kMaxReplyElements) +
                             " array elements");
        if (status != REDIS_OK) throw RedisError(std::string("malformed reply from Redis: ") + r->errstr);
        if (raw != nullptr) {
            pending = 0;
            announced = 0;
        }
        return static_cast<redisReply*>(raw);
    }
};

// A name lookup that the call stops waiting for when its time runs out or
// the client is closed. getaddrinfo cannot be interrupted (a lost DNS
// packet costs seconds), so it runs to its end on the resolver's thread,
// holding this, and its answer is then dropped; a call that waited for it
// would hold the replica's grants past their expiry meanwhile.
struct RedisClient::Lookup {
    explicit Lookup(const net::any_io_executor& ex) : resolver(ex), wait(ex) {}
    net::ip::tcp::resolver resolver;
    net::steady_timer wait;
    std::optional<boost::system::error_code> ec;  // set when the lookup ended
    net::ip::tcp::resolver::results_type results;
};

RedisClient::RedisClient(net::any_io_executor executor, RedisAddress address)
    : executor_(std::move(executor)), address_(std::move(address)), socket_(executor_) {}

RedisClient::~RedisClient() = default;

void RedisClient::close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
    if (lookup_) lookup_->wait.cancel();
    ready_ = false;  // the reader stays until the next connect: a suspended read may still resume into it
}

awaitable<void> RedisClient::connect(std::chrono::steady_clock::time_point deadline) {
    close();
    auto lookup = std::make_shared<Lookup>(executor_);
    lookup->wait.expires_at(deadline);
    lookup->resolver.async_resolve(address_.host, std::to_string(address_.port),
                                   [lookup](const boost::system::error_code& ec, auto results) {
                                       lookup->ec = ec;
                                       lookup->results = std::move(results);
                                       lookup->wait.cancel();
                                   });
    lookup_ = lookup;
    co_await lookup->wait.async_wait(use_tuple);
    lookup_.reset();
    // Past the deadline the watchdog has fired, or is about to, and closes
    // only a socket that is open: a connect begun now would have no limit.
    if (!lookup->ec || std::chrono::steady_clock::now() >= deadline)
        throw RedisError("the lookup of " + address_.host + " did not end in time");
    if (*lookup->ec) throw RedisError("cannot resolve " + address_.host + ": " + lookup->ec->message());
    auto [cec, ep] = co_await net::async_connect(socket_, lookup->results, use_tuple);
    if (cec) throw RedisError("cannot connect to " + address_.host + ":" + std::to_string(address_.port) + ": " +
                              cec.message());
    boost::system::error_code ignored;
    socket_.set_option(net::ip::tcp::no_delay(true), ignored);
    reader_ = std::make_unique<Reader>();
    if (reader_->r == nullptr) throw RedisError("out of memory for the reply reader");
    if (address_.db != 0) {
        // Named, not braced in the co_await: g++ 12 loses an initializer
        // list's array across a suspension.
        const std::vector<std::string> select{"SELECT", std::to_string(address_.db)};
        RedisReply ok = co_await round_trip(select);
        if (ok.type == RedisReply::Type::error) throw RedisError("SELECT " + std::to_string(address_.db) + ": " + ok.str);
    }
    ready_ = true;
}

awaitable<RedisReply> RedisClient::round_trip(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    for (const auto& a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    char* cmd = nullptr;
    int n = redisFormatCommandArgv(&cmd, static_cast<int>(argv.size()), argv.data(), lens.data());
    if (n < 0) throw RedisError("cannot encode the command");
    std::string wire(cmd, static_cast<std::size_t>(n));
    redisFreeCommand(cmd);
    auto [wec, wn] = co_await net::async_write(socket_, net::buffer(wire), use_tuple);
    if (wec) throw RedisError("write to Redis failed: " + wec.message());

    for (;;) {
        if (redisReply* raw = reader_->next_reply()) {
            std::unique_ptr<redisReply, void (*)(void*)> reply(raw, freeReplyObject);
            co_return convert(*reply);
        }
        auto [rec, got] = co_await socket_.async_read_some(net::buffer(reader_->buf), use_tuple);
        if (rec) throw RedisError("read from Redis failed: " + rec.message());
        reader_->pending += got;
        if (reader_->pending > kMaxReplyBytes) throw RedisError("reply from Redis exceeds " + std::to_string(kMaxReplyBytes) + " bytes");
        if (redisReaderFeed(reader_->r, reader_->buf.data(), got) != REDIS_OK) throw RedisError("cannot buffer the reply");
    }
}

awaitable<RedisReply> RedisClient::call(std::vector<std::string> args, double timeout_sec) {
    // The watchdog closes the socket when time runs out; the pending
    // operation then fails and the error below says why.
    auto timed_out = std::make_shared<bool>(false);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(timeout_sec));
    net::steady_timer watchdog(executor_);
    watchdog.expires_at(deadline);
    watchdog.async_wait([this, timed_out](const boost::system::error_code& ec) {
        if (ec) return;
        *timed_out = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
    });
    try {
        if (!connected()) co_await connect(deadline);
        RedisReply reply = co_await round_trip(args);
        watchdog.cancel();
        co_return reply;
    } catch (const RedisError& e) {
        watchdog.cancel();
        close();
        if (*timed_out || std::chrono::steady_clock::now() >= deadline)
            throw RedisError("Redis did not answer within " + std::to_string(timeout_sec) + " s");
        throw;
    }
}

}  // namespace quillmar::proxy
