// quillmar-lb: command-line companion of the load-balancer library.
#include "commands.hpp"

#include <cstdio>
#include <exception>

#ifndef QUILLMAR_LB_VERSION
#define QUILLMAR_LB_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    using namespace quillmar::lb::tools;

    CLI::App app{"The quillmar load balancer: request token estimates, effective settings, and simulations of the routing modes", "quillmar-lb"};
    app.set_version_flag("--version", QUILLMAR_LB_VERSION, "Print the version and exit");
    app.require_subcommand(0, 1);

    register_estimate(app);
    register_settings(app);
    register_simulate(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version arrive here too, with exit code 0; every real
        // command-line error exits 2 whatever CLI11's own code for it is.
        int code = app.exit(e);
        return code == 0 ? 0 : EXIT_USAGE;
    } catch (const CommandExit& e) {
        if (e.what()[0] != '\0') std::fprintf(stderr, "quillmar-lb: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmar-lb: %s\n", e.what());
        return 1;
    }

    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stderr);
        return EXIT_USAGE;
    }
    if (std::fflush(stdout) != 0) {
        std::perror("quillmar-lb: writing output");
        return 1;
    }
    return 0;
}
