// Per-second series and per-backend capacity figures of one run.
#include "simulate/timeline.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace quillmar::lb::sim {

Timeline::Timeline(std::size_t backends)
    : inflight_now_(backends, 0), at_cap_(backends, false), time_at_cap_(backends, 0.0), peak_(backends, 0) {
    series_.inflight.resize(backends);
}

std::size_t Timeline::bin(double t) {
    const auto i = static_cast<std::size_t>(std::max(0.0, std::floor(t)));
    // A new second starts at the levels the previous one ended with.
    while (series_.arrivals.size() <= i) {
        series_.arrivals.push_back(0);
        series_.queue_depth.push_back(parked_now_);
        for (std::size_t b = 0; b < inflight_now_.size(); ++b) series_.inflight[b].push_back(inflight_now_[b]);
        for (auto& [reason, counts] : series_.refusals) counts.push_back(0);
        if (hot_now_) series_.hybrid_hot.push_back(*hot_now_ ? 1 : 0);
    }
    return i;
}

void Timeline::arrival(double t) { ++series_.arrivals[bin(t)]; }

void Timeline::refusal(double t, std::string_view reason) {
    const std::size_t i = bin(t);
    auto& counts = series_.refusals[std::string(reason)];
    counts.resize(series_.arrivals.size(), 0);
    ++counts[i];
}

void Timeline::queue_depth(double t, std::int64_t parked) {
    const std::size_t i = bin(t);
    parked_now_ = parked;
    series_.queue_depth[i] = std::max(series_.queue_depth[i], parked);
}

void Timeline::observe(double t, std::span<const std::int64_t> inflight, std::span<const std::int64_t> caps,
                       std::optional<bool> hot) {
    const std::size_t i = bin(t);
    if (hot && !hot_now_) series_.hybrid_hot.assign(series_.arrivals.size(), 0);
    hot_now_ = hot;
    if (hot) series_.hybrid_hot[i] = std::max<std::int64_t>(series_.hybrid_hot[i], *hot ? 1 : 0);
    for (std::size_t b = 0; b < inflight_now_.size(); ++b) {
        if (at_cap_[b]) time_at_cap_[b] += t - last_observed_;
        at_cap_[b] = caps[b] > 0 && inflight[b] >= caps[b];
        inflight_now_[b] = inflight[b];
        peak_[b] = std::max(peak_[b], inflight[b]);
        series_.inflight[b][i] = std::max(series_.inflight[b][i], inflight[b]);
    }
    last_observed_ = t;
}

void Timeline::finish(double t, std::vector<BackendResult>& backends, TimeSeries& series) {
    // The last second is the one the run ended in (none for an empty run);
    // a reading taken at the very end starts no second of its own.
    const std::size_t seconds = t > 0.0 ? bin(std::nextafter(t, 0.0)) + 1 : 0;
    series_.arrivals.resize(seconds);
    series_.queue_depth.resize(seconds);
    for (auto& v : series_.inflight) v.resize(seconds);
    for (auto& [reason, counts] : series_.refusals) counts.resize(seconds);
    if (!series_.hybrid_hot.empty()) series_.hybrid_hot.resize(seconds);
    for (std::size_t b = 0; b < inflight_now_.size() && b < backends.size(); ++b) {
        if (at_cap_[b] && t > last_observed_) time_at_cap_[b] += t - last_observed_;
        backends[b].peak_inflight = peak_[b];
        backends[b].time_at_cap_sec = time_at_cap_[b];
    }
    series = std::move(series_);
}

}  // namespace quillmar::lb::sim
