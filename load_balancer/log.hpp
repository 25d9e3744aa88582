// The balancer's logger: the spdlog logger named "load_balancer".
#pragma once

#include <spdlog/logger.h>

#include <memory>

namespace quillmar::lb {

inline constexpr const char* LOGGER_NAME = "load_balancer";

// The logger registered under "load_balancer" if the host (or a test) has
// registered one; otherwise one writing to standard error is created and
// registered. Looked up on every call, so a logger registered later is used
// from then on; the balancer only logs on rare events (mode changes,
// force-clears, evictions, reaper failures). Thread-safe (spdlog registry).
std::shared_ptr<spdlog::logger> logger();

}  // namespace quillmar::lb
