// The state of one request on its road through the proxy, from the parsed
// head to the access-log line, and the outcome of one upstream attempt.
#pragma once

#include "load_balancer/runtime.hpp"
#include "proxy/config.hpp"
#include "proxy/http_util.hpp"
#include "proxy/usage_scanner.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillmar::proxy {

struct Exchange {
    std::shared_ptr<const Config> cfg;
    // Views of the request's head and of the session's peer address: both
    // outlive the exchange, which ends before its request does.
    std::string_view method;
    std::string_view target;
    std::string pool_label = "-";
    std::string request_id;
    std::string_view client;
    std::string model;
    std::int64_t input_tokens = -1;
    Usage usage;
    double wall_start = lb::wall_time();
    double start = now();
    double wait_started = -1.0;  // while parked: when the wait began
    double wait = 0.0;
    double ttfb = -1.0;
    std::optional<std::int64_t> server_id;  // the backend tried last
    int status = 0;
    std::uint64_t bytes = 0;
    bool client_keep = true;
    bool response_started = false;  // a byte went to the client: no retry, no error page
    bool client_broken = false;     // the client connection cannot carry another response
    std::string note;               // short reason shown in the access log
};

struct Attempt {
    bool ok = false;
    std::string kind;    // failure kind
    bool retry = true;   // a failure before the backend's first response byte
    // The backend is to blame (sin-binned): it could not be reached, or did
    // not answer in time. Not so when it closed or reset the connection
    // after taking the request: the request itself may have caused that (a
    // client must not be able to take every backend out of rotation with
    // a request or two), or, on a reused connection, the backend closed it
    // just as the request went out.
    bool blame = true;
};

}  // namespace quillmar::proxy
