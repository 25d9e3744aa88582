// End-to-end harness: starts quillmar-mock-backend and quillmar-proxy as
// child processes on loopback ports chosen by the OS, talks HTTP to them with
// deadlines on every operation, and kills every child it started when the
// test ends, whether it passed or not.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace json = boost::json;

// A child process whose first stdout line is a JSON object with its ports.
class Child {
public:
    // Starts `argv` and waits (up to `timeout_sec`) for its ports line.
    // Throws std::runtime_error, with the child's stderr, when it exits or
    // says nothing in time.
    Child(std::vector<std::string> argv, std::string stderr_path, double timeout_sec = 60.0);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::uint16_t port() const { return port_; }
    std::uint16_t admin_port() const { return admin_port_; }
    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // Sends SIGTERM and waits for the exit (SIGKILL after `grace_sec`).
    // Returns the exit status, or -signal when it was killed.
    int stop(double grace_sec = 20.0);
    // Waits for the process to exit on its own; the exit status, or nullopt
    // on time-out.
    std::optional<int> wait_exit(double timeout_sec);
    std::string stderr_text() const;

private:
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t admin_port_ = 0;
    std::string stderr_path_;
    std::optional<int> exit_status_;
};

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;                            // decoded (de-chunked)
    std::string peer_cn;                         // HTTPS: the server certificate's common name
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    json::value json() const { return json::parse(body); }
};

// The request `request` sends (Host 127.0.0.1, JSON content type for a
// body), and the Response of a parsed answer; shared with the HTTPS client.
http::request<http::string_body> make_request(http::verb method, const std::string& target, const std::string& body,
                                              const std::map<std::string, std::string>& headers);
Response to_response(http::response<http::string_body>& res);

// One HTTP/1.1 exchange on a fresh connection; throws on a network error or
// when `timeout_sec` passes.
Response request(std::uint16_t port, http::verb method, const std::string& target, const std::string& body = {},
                 const std::map<std::string, std::string>& headers = {}, double timeout_sec = 60.0);
inline Response post(std::uint16_t port, const std::string& target, const std::string& body,
                     const std::map<std::string, std::string>& headers = {}, double timeout_sec = 60.0) {
    return request(port, http::verb::post, target, body, headers, timeout_sec);
}
inline Response get(std::uint16_t port, const std::string& target, double timeout_sec = 60.0) {
    return request(port, http::verb::get, target, {}, {}, timeout_sec);
}

// A raw client connection for tests that stop reading or hang up halfway.
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port);
    void send(const std::string& bytes);
    // Sends a POST with a JSON body (keep-alive).
    void send_post(const std::string& target, const std::string& body);
    // Reads until the bytes received so far contain `needle`; false on
    // time-out or end of stream.
    bool read_until(const std::string& needle, double timeout_sec = 60.0);
    // Reads (keeping what arrives) until the peer closes the connection;
    // false on time-out.
    bool wait_closed(double timeout_sec = 30.0);
    const std::string& received() const { return received_; }
    void close();

private:
    net::io_context io_;
    net::ip::tcp::socket socket_;
    std::string received_;
};

// Polls `pred` every 20 ms until it holds or `timeout_sec` passes.
bool eventually(const std::function<bool()>& pred, double timeout_sec = 30.0);

// What a non-blocking descriptor (a pipe's read end) holds now.
std::string read_available(int fd);

// The value of the first series in Prometheus text whose line starts with
// `prefix`, or -1.
double value_of(const std::string& text, const std::string& prefix);

// A port on 127.0.0.1 with nothing listening (bound, read, closed).
std::uint16_t closed_port();

// Writes `text` to `path`.
void write_file(const std::string& path, const std::string& text);

// Runs `PROXY_BIN --config CONFIG_PATH --check` with standard error in
// `err_path`: its exit status (-1 when it did not exit normally) and what it
// wrote there.
struct CheckResult {
    int status = -1;
    std::string err;
};
CheckResult check_config(const char* proxy_bin, const std::string& config_path, const std::string& err_path);

// A fresh directory for one test's files.
std::string temp_dir();

}  // namespace e2e
