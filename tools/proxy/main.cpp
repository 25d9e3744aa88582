// quillmar-proxy: balances OpenAI-compatible requests over model servers.
//
//   quillmar-proxy --config proxy.json [--port N] [--admin-port N]
//
// Prints one JSON line on standard output once it listens, with the bound
// ports ({"port":8080,"admin_port":8081}), so a caller that asked for port 0
// learns the port the system chose. Exit status 2: unusable configuration or
// command line; 1: cannot listen.
#include "load_balancer/balancer.hpp"
#include "proxy/access_log.hpp"
#include "proxy/config.hpp"
#include "proxy/log_output.hpp"
#include "proxy/proxy.hpp"

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include <csignal>
#include <cstdio>
#include <optional>

namespace {

// Destroying the loop's pending handlers (coroutine frames included) has to
// happen while the proxy and the balancer they point to still exist;
// execution_context::shutdown does exactly that and is protected.
// The proxy runs every socket and timer on this one thread, so the reactor's
// per-descriptor locks (taken for every read, write and wake-up) guard
// nothing. The scheduler keeps its lock: the resolver's own thread posts
// its completions here.
struct Loop : boost::asio::io_context {
    Loop() : boost::asio::io_context(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO) {}
    void destroy_pending() { shutdown(); }
};

struct Options {
    std::string config_path;
    std::optional<int> port;
    std::optional<int> admin_port;
    std::string log_level = "info";
    bool check_only = false;
};

// Parses the command line; an exit status when the program ends here
// (help, version, or a bad command line).
std::optional<int> parse_command_line(int argc, char** argv, Options& o) {
    CLI::App app{"HTTP load-balancing proxy for OpenAI-compatible model servers", "quillmar-proxy"};
    app.add_option("--config", o.config_path, "JSON configuration file")->required();
    app.add_option("--port", o.port, "Override listen.port (0: any free port)")->check(CLI::Range(0, 65535));
    app.add_option("--admin-port", o.admin_port, "Override admin.port (0: any free port)")
        ->check(CLI::Range(0, 65535));
    app.set_version_flag("--version", QUILLMAR_LB_VERSION, "Print the version and exit");
    // spdlog reads an unknown level name as "off": refuse it rather than
    // silence the proxy.
    app.add_option("--log-level", o.log_level, "trace, debug, info, warn, error, critical, off")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));
    app.add_flag("--check", o.check_only, "Validate the configuration and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return std::nullopt;
}

// Runs the proxy until it stops; the exit status.
int run(std::shared_ptr<const quillmar::proxy::Config> cfg, const std::string& config_path,
        const quillmar::proxy::PortOverrides& ports) {
    quillmar::lb::LoadBalancer lb;
    Loop io;
    int status = 0;
    std::optional<quillmar::proxy::Proxy> proxy;
    try {
        // Building it opens the access log, which may fail too.
        proxy.emplace(io, lb, cfg, config_path, ports);
        auto [bound, admin_bound] = proxy->start();
        std::printf("{\"port\":%u,\"admin_port\":%u}\n", bound, admin_bound);
        std::fflush(stdout);
        spdlog::info("listening on {}:{} (admin {})", cfg->listen_address, bound,
                     cfg->admin_enabled ? std::to_string(admin_bound) : std::string("off"));
        io.run();
    } catch (const quillmar::proxy::ConfigError& e) {
        std::fprintf(stderr, "quillmar-proxy: configuration error at %s\n", e.what());
        status = 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmar-proxy: %s\n", e.what());
        status = 1;
    }
    if (proxy) proxy->stop();
    io.destroy_pending();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto done = parse_command_line(argc, argv, o)) return *done;
    // Standard output carries only the line with the bound ports (and the
    // access log when asked for); diagnostics go to standard error.
    quillmar::proxy::log_diagnostics_to_stderr();
    spdlog::set_level(spdlog::level::from_str(o.log_level));
    // A write to a pipe whose reader has gone (a log shipper's, or standard
    // output's) must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::shared_ptr<const quillmar::proxy::Config> cfg;
    try {
        cfg = quillmar::proxy::load_config(o.config_path);
    } catch (const quillmar::proxy::ConfigError& e) {
        std::fprintf(stderr, "quillmar-proxy: configuration error at %s\n", e.what());
        return 2;
    }
    if (o.check_only) {
        if (const std::string problem = quillmar::proxy::access_log_problem(cfg->access_log); !problem.empty()) {
            std::fprintf(stderr, "quillmar-proxy: configuration error at $.access_log: cannot open access log %s: %s\n",
                         cfg->access_log.c_str(), problem.c_str());
            return 2;
        }
        std::printf("configuration ok: %zu models, %zu servers\n", cfg->models.size(), cfg->servers.size());
        return 0;
    }
    quillmar::proxy::PortOverrides ports;
    if (o.port) ports.listen = static_cast<std::uint16_t>(*o.port);
    if (o.admin_port) ports.admin = static_cast<std::uint16_t>(*o.admin_port);
    return run(cfg, o.config_path, ports);
}
