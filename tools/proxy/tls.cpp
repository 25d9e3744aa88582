#include "proxy/tls.hpp"

#include "proxy/small_file.hpp"

#include <boost/asio/ssl/error.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <optional>

namespace quillmar::proxy {

namespace ssl = boost::asio::ssl;

namespace {

// TLS 1.2 and later, no compression (CRIME), no renegotiation (a client
// could make the server spend a handshake's work at will).
void apply_modern_defaults(ssl::context& ctx) {
    SSL_CTX* native = ctx.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
}

// ALPN: the proxy speaks HTTP/1.1 only. A client that offers it gets it; one
// that offers only other protocols goes on without ALPN and finds out from
// the answers, as with a server that does not do ALPN at all.
int select_http11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned int inlen,
                  void*) {
    static const unsigned char ours[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
    unsigned char* chosen = nullptr;
    unsigned char length = 0;
    if (SSL_select_next_proto(&chosen, &length, ours, sizeof ours, in, inlen) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *out = chosen;
    *outlen = length;
    return SSL_TLSEXT_ERR_OK;
}

// Certificates, keys and CA bundles are kilobytes; a big bundle is a few
// hundred.
constexpr std::size_t kPemFileLimit = 16 * 1024 * 1024;

std::string require_readable(const std::string& path, const char* field, const char* what) {
    if (path.empty()) throw TlsError(field, std::string("no ") + what + " file given");
    std::string why;
    std::optional<std::string> text = read_regular_file(path, kPemFileLimit, why);
    if (!text) throw TlsError(field, std::string("cannot read ") + what + " file " + path + ": " + why);
    return std::move(*text);
}

// OpenSSL asks for a passphrase on the terminal when a key is encrypted,
// which would block the proxy's only thread at a start or a reload; no
// passphrase is given instead, and the load fails.
int no_passphrase(char*, int, int, void*) { return 0; }

// The key's text is wiped when the load is done, so that no copy of it
// stays behind in freed memory.
struct Secret {
    std::string text;
    ~Secret() { OPENSSL_cleanse(text.data(), text.size()); }
};

// A CA bundle's certificates and CRLs, as OpenSSL's own file loader takes
// them: "TRUSTED CERTIFICATE" blocks too, which Asio's loader from memory
// skips.
void add_ca_bundle(ssl::context& ctx, const std::string& pem, const std::string& path) {
    ERR_clear_error();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    STACK_OF(X509_INFO)* infos = bio != nullptr ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx.native_handle());
    int added = 0;
    for (int i = 0; infos != nullptr && i < sk_X509_INFO_num(infos); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) == 1) ++added;
        if (info->crl != nullptr && X509_STORE_add_crl(store, info->crl) == 1) ++added;
    }
    if (infos != nullptr) sk_X509_INFO_pop_free(infos, X509_INFO_free);
    const unsigned long err = ERR_get_error();
    ERR_clear_error();
    if (added == 0) {
        const char* why = err != 0 ? ERR_reason_error_string(err) : nullptr;
        throw TlsError("ca_file", "cannot load CA file " + path + ": " +
                                      (why != nullptr ? why : "it holds no certificate"));
    }
}

std::string reason(const boost::system::error_code& ec) {
    std::string text = ec.message();
    return text.empty() ? "unknown error" : text;
}

}  // namespace

TlsContext make_server_context(const std::string& cert_file, const std::string& key_file) {
    // Loaded from the bytes the bounded reader took, not by name again: a
    // file swapped between the check and a second open would escape it.
    const std::string chain = require_readable(cert_file, "cert_file", "certificate");
    Secret key{require_readable(key_file, "key_file", "key")};
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_server);
    apply_modern_defaults(*ctx);
    SSL_CTX_set_default_passwd_cb(ctx->native_handle(), no_passphrase);
    boost::system::error_code ec;
    ctx->use_certificate_chain(boost::asio::buffer(chain), ec);
    if (ec) throw TlsError("cert_file", "cannot load certificate " + cert_file + ": " + reason(ec));
    ctx->use_private_key(boost::asio::buffer(key.text), ssl::context::pem, ec);
    if (ec && key.text.find("ENCRYPTED") != std::string::npos)
        throw TlsError("key_file", "key " + key_file + " is encrypted; give it unencrypted (readable by the proxy only)");
    if (ec) throw TlsError("key_file", "cannot load key " + key_file + " for certificate " + cert_file + ": " + reason(ec));
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1) {
        ERR_clear_error();
        throw TlsError("", "key " + key_file + " does not belong to certificate " + cert_file);
    }
    SSL_CTX_set_alpn_select_cb(ctx->native_handle(), select_http11, nullptr);
    return ctx;
}

TlsContext make_client_context(const std::string& ca_file, bool skip_verify) {
    auto ctx = std::make_shared<ssl::context>(ssl::context::tls_client);
    apply_modern_defaults(*ctx);
    boost::system::error_code ec;
    if (!ca_file.empty()) {
        add_ca_bundle(*ctx, require_readable(ca_file, "ca_file", "CA"), ca_file);
    } else {
        ctx->set_default_verify_paths(ec);
        if (ec) throw TlsError("", "cannot load the system's trust store: " + reason(ec));
    }
    ctx->set_verify_mode(skip_verify ? ssl::verify_none : ssl::verify_peer);
    return ctx;
}

bool is_verify_failure(const boost::system::error_code& ec) {
    return ec.category() == boost::asio::error::get_ssl_category() &&
           ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED;
}

std::string verify_failure_text(long verify_result) {
    // The chain itself passed: the host name check turned the certificate down.
    if (verify_result == X509_V_OK) return "host name does not match the certificate";
    return X509_verify_cert_error_string(verify_result);
}

}  // namespace quillmar::proxy
