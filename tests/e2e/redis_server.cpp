#include "e2e/redis_server.hpp"

#include "e2e/harness.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace e2e {

namespace {

bool accepts(std::uint16_t port) {
    net::io_context io;
    net::ip::tcp::socket s(io);
    boost::system::error_code ec;
    s.connect({net::ip::make_address("127.0.0.1"), port}, ec);
    return !ec;
}

}  // namespace

RedisServer::RedisServer() : port_(closed_port()), dir_(temp_dir()) { start(); }

RedisServer::~RedisServer() { stop(); }

void RedisServer::start() {
    if (pid_ > 0) return;
    std::vector<std::string> args{"redis-server", "--port",      std::to_string(port_), "--bind", "127.0.0.1",
                                  "--dir",        dir_,          "--save",              "",       "--appendonly",
                                  "no",           "--logfile",   dir_ + "/redis.log",   "--daemonize", "no"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    // Bounded wait: 500 polls of 20 ms.
    for (int i = 0; i < 500; ++i) {
        if (accepts(port_)) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("redis-server exited at start; see " + dir_ + "/redis.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop();
    throw std::runtime_error("redis-server did not accept connections within 10 s");
}

void RedisServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 250; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace e2e
