#include "e2e/harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {

using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
std::chrono::steady_clock::duration secs(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}
}  // namespace

Child::Child(std::vector<std::string> argv, std::string stderr_path, double timeout_sec)
    : stderr_path_(std::move(stderr_path)) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) dup2(err, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    stdout_fd_ = out[0];

    // Read the first line: {"port":N[,"admin_port":M]}.
    std::string line;
    auto deadline = Clock::now() + secs(timeout_sec);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            stop(1.0);
            throw std::runtime_error("no ports line from " + argv[0] + "; stderr:\n" + stderr_text());
        }
        pollfd p{stdout_fd_, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 200)));
        if (r <= 0) continue;
        char buf[256];
        ssize_t n = read(stdout_fd_, buf, sizeof buf);
        if (n <= 0) {
            stop(1.0);
            throw std::runtime_error(argv[0] + " exited before listening; stderr:\n" + stderr_text());
        }
        line.append(buf, static_cast<std::size_t>(n));
    }
    json::object o = json::parse(line.substr(0, line.find('\n'))).as_object();
    port_ = static_cast<std::uint16_t>(o.at("port").to_number<int>());
    if (auto* a = o.if_contains("admin_port")) admin_port_ = static_cast<std::uint16_t>(a->to_number<int>());
}

Child::~Child() {
    stop(10.0);
    if (stdout_fd_ >= 0) close(stdout_fd_);
}

void Child::signal(int sig) const {
    if (pid_ > 0 && !exit_status_) kill(pid_, sig);
}

std::optional<int> Child::wait_exit(double timeout_sec) {
    if (exit_status_) return exit_status_;
    auto deadline = Clock::now() + secs(timeout_sec);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            return exit_status_;
        }
        if (r < 0) {
            exit_status_ = -1;
            return exit_status_;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Child::stop(double grace_sec) {
    if (pid_ <= 0) return -1;
    if (exit_status_) return *exit_status_;
    kill(pid_, SIGTERM);
    if (auto st = wait_exit(grace_sec)) return *st;
    kill(pid_, SIGKILL);
    return wait_exit(30.0).value_or(-SIGKILL);
}

std::string Child::stderr_text() const {
    std::ifstream in(stderr_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

http::request<http::string_body> make_request(http::verb method, const std::string& target, const std::string& body,
                                              const std::map<std::string, std::string>& headers) {
    http::request<http::string_body> req{method, target, 11};
    req.set(http::field::host, "127.0.0.1");
    if (!body.empty() || method == http::verb::post || method == http::verb::put)
        req.set(http::field::content_type, "application/json");
    for (const auto& [k, v] : headers) req.set(k, v);
    req.body() = body;
    req.prepare_payload();
    return req;
}

Response to_response(http::response<http::string_body>& res) {
    Response out;
    out.status = res.result_int();
    for (const auto& f : res) {
        std::string name(f.name_string());
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out.headers[name] = std::string(f.value());
    }
    out.body = res.body();
    return out;
}

Response request(std::uint16_t port, http::verb method, const std::string& target, const std::string& body,
                 const std::map<std::string, std::string>& headers, double timeout_sec) {
    net::io_context io;
    beast::tcp_stream stream(io);
    http::request<http::string_body> req = make_request(method, target, body, headers);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(boost::none);
    beast::error_code result;

    stream.expires_after(secs(timeout_sec));
    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), [&](beast::error_code ec) {
        if (ec) {
            result = ec;
            return;
        }
        http::async_write(stream, req, [&](beast::error_code wec, std::size_t) {
            if (wec) {
                result = wec;
                return;
            }
            http::async_read(stream, buffer, parser, [&](beast::error_code rec, std::size_t) { result = rec; });
        });
    });
    io.run();
    if (result) throw std::runtime_error("HTTP " + target + " failed: " + result.message());
    return to_response(parser.get());
}

RawConnection::RawConnection(std::uint16_t port) : socket_(io_) {
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
}

void RawConnection::send(const std::string& bytes) { net::write(socket_, net::buffer(bytes)); }

void RawConnection::send_post(const std::string& target, const std::string& body) {
    send("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body);
}

bool RawConnection::read_until(const std::string& needle, double timeout_sec) {
    bool done = received_.find(needle) != std::string::npos;
    bool failed = false;
    std::array<char, 4096> buf;
    std::function<void()> step = [&] {
        socket_.async_read_some(net::buffer(buf), [&](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                failed = true;
                return;
            }
            received_.append(buf.data(), n);
            if (received_.find(needle) != std::string::npos) {
                done = true;
                return;
            }
            step();
        });
    };
    if (!done) {
        step();
        io_.restart();
        io_.run_for(secs(timeout_sec));
        if (!done && !failed) {
            socket_.cancel();
            io_.restart();
            io_.run();  // collect the cancelled handler
        }
    }
    return done;
}

bool RawConnection::wait_closed(double timeout_sec) {
    bool closed = false;
    std::array<char, 4096> buf;
    std::function<void()> step = [&] {
        socket_.async_read_some(net::buffer(buf), [&](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                closed = ec != net::error::operation_aborted;
                return;
            }
            received_.append(buf.data(), n);
            step();
        });
    };
    step();
    io_.restart();
    io_.run_for(secs(timeout_sec));
    if (!io_.stopped()) {
        socket_.cancel();
        io_.restart();
        io_.run();
    }
    return closed;
}

void RawConnection::close() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

bool eventually(const std::function<bool()>& pred, double timeout_sec) {
    auto deadline = Clock::now() + secs(timeout_sec);
    for (;;) {
        if (pred()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::uint16_t closed_port() {
    net::io_context io;
    tcp::acceptor a(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    std::uint16_t p = a.local_endpoint().port();
    a.close();
    return p;
}

void write_file(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::rename(tmp.c_str(), path.c_str());  // whole file or nothing, for reloads
}

std::string temp_dir() {
    std::string tmpl = (std::getenv("TMPDIR") ? std::string(std::getenv("TMPDIR")) : std::string("/tmp")) +
                       "/quillmar-e2e-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

CheckResult check_config(const char* proxy_bin, const std::string& config_path, const std::string& err_path) {
    CheckResult out;
    pid_t pid = fork();
    if (pid < 0) return out;
    if (pid == 0) {
        if (std::freopen(err_path.c_str(), "w", stderr) == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        execl(proxy_bin, proxy_bin, "--config", config_path.c_str(), "--check", nullptr);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) out.status = WEXITSTATUS(st);
    std::ifstream in(err_path);
    out.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return out;
}

std::string read_available(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

double value_of(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(line.rfind(' ') + 1));
    return -1;
}

}  // namespace e2e
