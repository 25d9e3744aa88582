// TLS contexts of quillmar-proxy (and of the mock backend its tests run):
// a listener's context built from a certificate chain and a key file, and
// the context the proxy verifies its https backends with.
//
// Both refuse anything older than TLS 1.2, compression and renegotiation.
// A context is immutable once built: a reload builds a new one and new
// connections take it, while open connections keep theirs (each stream
// holds a reference to its context).
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/system/error_code.hpp>

#include <memory>
#include <stdexcept>
#include <string>

namespace quillmar::proxy {

// A context that cannot be built; what() names the file and OpenSSL's
// reason, field() the setting at fault ("cert_file", "key_file", "ca_file",
// or empty when it is the pair or the system's store).
class TlsError : public std::runtime_error {
public:
    TlsError(std::string field, const std::string& message)
        : std::runtime_error(message), field_(std::move(field)) {}
    const std::string& field() const { return field_; }

private:
    std::string field_;
};

using TlsContext = std::shared_ptr<boost::asio::ssl::context>;

// A server context presenting the PEM certificate chain in `cert_file`
// (leaf first) with the PEM private key in `key_file`. Offers ALPN
// "http/1.1" to clients that ask for it. Reads both files; throws TlsError
// when either cannot be read or parsed, or when the key does not belong to
// the certificate.
TlsContext make_server_context(const std::string& cert_file, const std::string& key_file);

// A client context for backends: peers are verified against the PEM CA
// bundle in `ca_file`, or the system's trust store when it is empty; with
// `skip_verify` nothing is verified (host names and chains alike). Throws
// TlsError when the CA file cannot be loaded.
TlsContext make_client_context(const std::string& ca_file, bool skip_verify);

// Whether `ec` (from a client handshake) is a failed certificate
// verification, and why in a few words ("certificate has expired", "host
// name does not match the certificate"); `verify_result` is the handshake's
// SSL_get_verify_result.
bool is_verify_failure(const boost::system::error_code& ec);
std::string verify_failure_text(long verify_result);

}  // namespace quillmar::proxy
