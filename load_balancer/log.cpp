#include "load_balancer/log.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace quillmar::lb {

std::shared_ptr<spdlog::logger> logger() {
    if (auto existing = spdlog::get(LOGGER_NAME)) return existing;
    try {
        return spdlog::stderr_color_mt(LOGGER_NAME);
    } catch (const spdlog::spdlog_ex&) {
        // Registered by another thread between the lookup and the creation.
        return spdlog::get(LOGGER_NAME);
    }
}

}  // namespace quillmar::lb
