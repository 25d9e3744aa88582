// Opening a connection to a backend, plain or TLS, for the forwarding and
// the health checks alike.
#pragma once

#include "proxy/config.hpp"
#include "proxy/stream.hpp"

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <string>

namespace quillmar::proxy {

struct Dialed {
    std::unique_ptr<Stream> stream;  // the connection; null when it failed
    boost::beast::error_code ec;     // the failure (operation_aborted: cancelled)
    // What failed, for metrics and the client's error: "resolve_error",
    // "tls_verify_failed", "tls_handshake_failed"; empty for the TCP connect
    // itself and for time-outs, which the caller classifies from `ec`.
    std::string kind;
    std::string detail;  // one readable line for logs and health checks
};

// Resolves `ep` (IP literals and "localhost" skip the resolver), connects,
// and for an https endpoint shakes hands with SNI and verification of the
// chain and of the host name (unless `ctx` skips verification), all within
// `timeout_sec`. Never throws for network failures.
boost::asio::awaitable<Dialed> dial(const Endpoint& ep, const TlsContext& ctx, double timeout_sec);

}  // namespace quillmar::proxy
