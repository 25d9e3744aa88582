#include "proxy/http_util.hpp"

#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/json/serialize.hpp>

#include <array>
#include <cstdio>
#include <ctime>

namespace quillmar::proxy {

bool is_request_id(std::string_view name) { return beast::iequals(name, "x-request-id"); }

std::string peer_of(Stream& stream) {
    beast::error_code ec;
    auto ep = stream.socket().remote_endpoint(ec);
    return ec ? std::string() : ep.address().to_string() + ":" + std::to_string(ep.port());
}

std::string error_body(std::string_view message, std::string_view type, std::string_view code, json::object extra) {
    json::object err;
    err["message"] = message;
    err["type"] = type;
    err["param"] = nullptr;  // the request field at fault; clients expect the key
    err["code"] = code.empty() ? json::value(nullptr) : json::value(code);
    for (auto& kv : extra) err[kv.key()] = kv.value();
    json::object body;
    body["error"] = std::move(err);
    return json::serialize(body);
}

std::string classify(const beast::error_code& ec, std::string_view phase) {
    if (ec == beast::error::timeout) return std::string(phase) + "_timeout";
    if (ec == net::error::connection_refused) return "connect_refused";
    if (ec == net::error::connection_reset || ec == net::error::broken_pipe) return std::string(phase) + "_reset";
    if (ec == http::error::end_of_stream || ec == net::error::eof || ec == http::error::partial_message)
        return std::string(phase) + "_closed";
    return std::string(phase) + "_error";
}

void throw_if_cancelled(const beast::error_code& ec) {
    if (ec == net::error::operation_aborted) lb::throw_cancelled();
}

std::string_view http_date() {
    thread_local std::time_t formatted = -1;
    thread_local std::array<char, 64> text{};
    thread_local std::size_t size = 0;
    const std::time_t now = std::time(nullptr);
    if (now != formatted) {
        // By hand, not strftime: its day and month names follow the locale.
        static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        std::tm t{};
        gmtime_r(&now, &t);
        const int n = std::snprintf(text.data(), text.size(), "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday], t.tm_mday,
                      kMonths[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        size = n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), text.size() - 1) : 0;
        formatted = now;
    }
    return {text.data(), size};
}

http::response<http::string_body> make_response(http::status status, std::string body, bool keep_alive,
                                                std::string_view content_type, unsigned version) {
    http::response<http::string_body> res{status, version};
    res.set(http::field::date, http_date());
    res.set(http::field::content_type, content_type);
    res.body() = std::move(body);
    res.keep_alive(keep_alive);
    res.prepare_payload();
    return res;
}

}  // namespace quillmar::proxy
