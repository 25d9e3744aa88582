#include "e2e/tls_support.hpp"

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace e2e {

namespace ssl = net::ssl;
using tcp = net::ip::tcp;

TestCerts make_test_certs(const std::string& dir) {
    const auto script = std::filesystem::path(__FILE__).parent_path() / "make_test_certs.sh";
    const std::string command = "bash '" + script.string() + "' '" + dir + "' >'" + dir + ".log' 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make_test_certs.sh failed: see " + dir + ".log");
    return TestCerts{dir};
}

namespace {

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

std::string common_name(TlsStream& stream) {
    X509* cert = SSL_get1_peer_certificate(stream.native_handle());
    if (cert == nullptr) return {};
    char buf[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, buf, sizeof buf);
    X509_free(cert);
    return buf;
}

net::awaitable<void> exchange(TlsStream& stream, std::uint16_t port, http::request<http::string_body>& req,
                              Response& out) {
    co_await beast::get_lowest_layer(stream).async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                                                           net::use_awaitable);
    co_await stream.async_handshake(ssl::stream_base::client, net::use_awaitable);
    co_await http::async_write(stream, req, net::use_awaitable);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(boost::none);
    co_await http::async_read(stream, buffer, parser, net::use_awaitable);
    out = to_response(parser.get());
    out.peer_cn = common_name(stream);
}

}  // namespace

Response https_request(std::uint16_t port, const std::string& ca_file, http::verb method, const std::string& target,
                       const std::string& body, double timeout_sec, const std::string& host) {
    net::io_context io;
    ssl::context ctx(ssl::context::tls_client);
    ctx.load_verify_file(ca_file);
    ctx.set_verify_mode(ssl::verify_peer);
    TlsStream stream(io, ctx);
    SSL_set_tlsext_host_name(stream.native_handle(), host.c_str());
    stream.set_verify_callback(ssl::host_name_verification(host));
    beast::get_lowest_layer(stream).expires_after(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeout_sec)));
    http::request<http::string_body> req = make_request(method, target, body, {});
    Response out;
    std::exception_ptr failure;
    net::co_spawn(io, exchange(stream, port, req, out), [&](std::exception_ptr e) { failure = e; });
    io.run();
    if (failure) std::rethrow_exception(failure);
    return out;
}

}  // namespace e2e
