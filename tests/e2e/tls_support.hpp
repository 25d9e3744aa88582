// TLS for the end-to-end tests: certificates made fresh per test by
// make_test_certs.sh (the same script the Node SDK test runs), and an HTTPS
// client that verifies the server against the test CA.
#pragma once

#include "e2e/harness.hpp"

#include <string>

namespace e2e {

// The files of make_test_certs.sh in `dir`: the trusted test CA, server
// certificates "a" and "b" it signed, "untrusted" signed by another CA.
struct TestCerts {
    std::string dir;
    std::string ca() const { return dir + "/ca.crt"; }
    std::string cert(const std::string& name) const { return dir + "/" + name + ".crt"; }
    std::string key(const std::string& name) const { return dir + "/" + name + ".key"; }
};

// Runs the script into `dir`; throws std::runtime_error when it fails.
TestCerts make_test_certs(const std::string& dir);

// One HTTPS exchange with 127.0.0.1:`port`, verifying the server's
// certificate against `ca_file` and for `host` (also sent as SNI); the
// Response carries the certificate's common name. Throws on a network or
// verification error, or when `timeout_sec` passes.
Response https_request(std::uint16_t port, const std::string& ca_file, http::verb method, const std::string& target,
                       const std::string& body = {}, double timeout_sec = 30.0, const std::string& host = "localhost");

}  // namespace e2e
