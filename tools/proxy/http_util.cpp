#include "proxy/http_util.hpp"

#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/json/serialize.hpp>

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

http::response<http::string_body> make_response(http::status status, std::string body, bool keep_alive,
                                                std::string_view content_type, unsigned version) {
    http::response<http::string_body> res{status, version};
    res.set(http::field::content_type, content_type);
    res.body() = std::move(body);
    res.keep_alive(keep_alive);
    res.prepare_payload();
    return res;
}

}  // namespace quillmar::proxy
