// What a run looked like over time: per-second series (arrivals, refusals,
// queue depth, in-flight per backend) and, per backend, the peak in-flight
// count and the time spent at the cap of the mode. The host reports each
// change as it happens, on virtual time (seconds from the start).
#pragma once

#include "simulate/host.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quillmar::lb::sim {

class Timeline {
public:
    explicit Timeline(std::size_t backends);

    void arrival(double t);
    void refusal(double t, std::string_view reason);
    void queue_depth(double t, std::int64_t parked);
    // The balancer's in-flight count and the effective cap (0: none) of every
    // backend at `t`, and the hybrid pool's state when the mode has one.
    // Time at cap accrues between observations, at the earlier one's state.
    void observe(double t, std::span<const std::int64_t> inflight, std::span<const std::int64_t> caps,
                 std::optional<bool> hot);
    // Closes the series at `t` and writes them out. Cost linear in seconds
    // times backends.
    void finish(double t, std::vector<BackendResult>& backends, TimeSeries& series);

private:
    std::size_t bin(double t);  // the second holding `t`, series grown to it

    TimeSeries series_;
    std::vector<std::int64_t> inflight_now_;
    std::vector<bool> at_cap_;
    std::vector<double> time_at_cap_;
    std::vector<std::int64_t> peak_;
    std::int64_t parked_now_ = 0;
    std::optional<bool> hot_now_;
    double last_observed_ = 0.0;
};

}  // namespace quillmar::lb::sim
