// A throw-away redis-server for one test: loopback only, a port the OS
// picked, a temporary working directory, no persistence. Stopped (killed if
// need be) by the destructor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace e2e {

class RedisServer {
public:
    // Starts it and waits until it accepts connections. Throws
    // std::runtime_error when it does not within ten seconds.
    RedisServer();
    ~RedisServer();
    RedisServer(const RedisServer&) = delete;
    RedisServer& operator=(const RedisServer&) = delete;

    // Stops the server (SIGTERM, then SIGKILL); its data is gone.
    void stop();
    // Starts it again on the same port, empty.
    void start();
    std::uint16_t port() const { return port_; }
    std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_); }

private:
    std::uint16_t port_ = 0;
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace e2e
