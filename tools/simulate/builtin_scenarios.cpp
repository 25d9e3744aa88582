// The built-in scenarios. Each is small enough to read and shows one side
// of the routing modes; "mixed" is the default.
#include "simulate/scenario.hpp"

#include <string>

namespace quillmar::lb::sim {

namespace {

// Four backends of one pool: a big general server, a mid-size one that
// crashes for a minute, a small long-context server that alone takes the
// largest documents, and a fast small-context server that restarts briefly.
// Traffic is mostly interactive chat, calm between periodic bursts (so a
// hybrid pool cools down and heats up again), plus long documents (a few too
// large for any backend) and embedding batches.
constexpr std::string_view kMixed = R"json({
  "name": "mixed",
  "seed": 42,
  "duration_sec": 600,
  "pool": {"model": "sim-model", "clusters": [1], "tier": "default"},
  "algorithm": "weighted_round_robin",
  "reaper_interval_sec": 15,
  "crashed_lease_hold_sec": 90,
  "backends": [
    {"id": 1, "weight": 2, "max_concurrency": 16, "max_input_tokens": 32768,
     "ttft_base_sec": 0.25, "prefill_tokens_per_sec": 6000, "decode_tokens_per_sec": 45,
     "ttft_slowdown_per_inflight": 0.12, "decode_slowdown_per_inflight": 0.06},
    {"id": 2, "weight": 1, "max_concurrency": 8, "max_input_tokens": 32768,
     "ttft_base_sec": 0.3, "prefill_tokens_per_sec": 4000, "decode_tokens_per_sec": 35,
     "ttft_slowdown_per_inflight": 0.15, "decode_slowdown_per_inflight": 0.08,
     "outages": [{"at_sec": 240, "for_sec": 60}]},
    {"id": 3, "weight": 1, "max_concurrency": 4, "max_input_tokens": 131072,
     "ttft_base_sec": 0.4, "prefill_tokens_per_sec": 8000, "decode_tokens_per_sec": 30,
     "ttft_slowdown_per_inflight": 0.2, "decode_slowdown_per_inflight": 0.1},
    {"id": 4, "weight": 1, "max_concurrency": 24, "max_input_tokens": 8192,
     "ttft_base_sec": 0.08, "prefill_tokens_per_sec": 20000, "decode_tokens_per_sec": 80,
     "ttft_slowdown_per_inflight": 0.03, "decode_slowdown_per_inflight": 0.02,
     "outages": [{"at_sec": 420, "for_sec": 20}]}
  ],
  "workload": {
    "arrivals": {"kind": "bursty", "rate_per_sec": 1, "burst_rate_per_sec": 12,
                 "burst_every_sec": 120, "burst_length_sec": 20},
    "mix": [
      {"kind": "chat", "share": 0.7, "prompt_chars": [200, 6000], "output_tokens": [30, 400]},
      {"kind": "document", "share": 0.12, "prompt_chars": [20000, 560000], "output_tokens": [100, 600]},
      {"kind": "embedding", "share": 0.18, "prompt_chars": [100, 4000], "items": [1, 16]}
    ]
  }
}
)json";

// Steady traffic above what the superfast clamp admits but well within the
// configured caps: superfast refuses a share of it all the time, hybrid stays
// hot and serves everything like max_concurrency.
constexpr std::string_view kSteadyOverload = R"json({
  "name": "steady-overload",
  "seed": 7,
  "duration_sec": 300,
  "reaper_interval_sec": null,
  "backends": [
    {"id": 1, "max_concurrency": 12, "ttft_base_sec": 0.2, "decode_tokens_per_sec": 40,
     "ttft_slowdown_per_inflight": 0.05, "decode_slowdown_per_inflight": 0.03},
    {"id": 2, "max_concurrency": 12, "ttft_base_sec": 0.2, "decode_tokens_per_sec": 40,
     "ttft_slowdown_per_inflight": 0.05, "decode_slowdown_per_inflight": 0.03},
    {"id": 3, "max_concurrency": 12, "ttft_base_sec": 0.2, "decode_tokens_per_sec": 40,
     "ttft_slowdown_per_inflight": 0.05, "decode_slowdown_per_inflight": 0.03}
  ],
  "workload": {
    "arrivals": {"kind": "steady", "rate_per_sec": 3},
    "mix": [{"kind": "chat", "prompt_chars": [400, 4000], "output_tokens": [100, 300]}]
  }
}
)json";

// A quiet pool hit by short, sharp bursts. A cold hybrid pool starts each
// burst at the superfast clamp and refuses until it turns hot; afterwards
// its hysteresis keeps the configured caps while the burst drains.
// max_concurrency admits the burst at once; queue_all also parks what
// overflows the configured caps.
constexpr std::string_view kBursts = R"json({
  "name": "bursts",
  "seed": 11,
  "duration_sec": 300,
  "reaper_interval_sec": null,
  "backends": [
    {"id": 1, "max_concurrency": 16, "ttft_base_sec": 0.2, "decode_tokens_per_sec": 60,
     "ttft_slowdown_per_inflight": 0.03, "decode_slowdown_per_inflight": 0.02},
    {"id": 2, "max_concurrency": 16, "ttft_base_sec": 0.2, "decode_tokens_per_sec": 60,
     "ttft_slowdown_per_inflight": 0.03, "decode_slowdown_per_inflight": 0.02}
  ],
  "workload": {
    "arrivals": {"kind": "bursty", "rate_per_sec": 0.5, "burst_rate_per_sec": 20,
                 "burst_every_sec": 60, "burst_length_sec": 20},
    "mix": [{"kind": "chat", "prompt_chars": [200, 2000], "output_tokens": [10, 50]}]
  }
}
)json";

// More traffic than even the configured caps hold, for two minutes: the
// modes without a queue refuse the excess at once; queue_all serves it all,
// paying with waits that grow while the overload lasts.
constexpr std::string_view kSaturation = R"json({
  "name": "saturation",
  "seed": 5,
  "duration_sec": 300,
  "reaper_interval_sec": null,
  "backends": [
    {"id": 1, "max_concurrency": 8, "ttft_base_sec": 0.25, "decode_tokens_per_sec": 40,
     "ttft_slowdown_per_inflight": 0.05, "decode_slowdown_per_inflight": 0.05},
    {"id": 2, "max_concurrency": 8, "ttft_base_sec": 0.25, "decode_tokens_per_sec": 40,
     "ttft_slowdown_per_inflight": 0.05, "decode_slowdown_per_inflight": 0.05}
  ],
  "workload": {
    "arrivals": {"kind": "bursty", "rate_per_sec": 1, "burst_rate_per_sec": 4,
                 "burst_every_sec": 100, "burst_length_sec": 60},
    "mix": [{"kind": "chat", "prompt_chars": [400, 4000], "output_tokens": [100, 300]}]
  }
}
)json";

struct Builtin {
    std::string_view name;
    std::string_view text;
};

constexpr Builtin kBuiltins[] = {
    {"mixed", kMixed},
    {"steady-overload", kSteadyOverload},
    {"bursts", kBursts},
    {"saturation", kSaturation},
};

}  // namespace

const std::vector<std::string_view>& builtin_scenario_names() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const Builtin& b : kBuiltins) out.push_back(b.name);
        return out;
    }();
    return names;
}

std::string_view builtin_scenario_text(std::string_view name) {
    if (name.empty()) return kBuiltins[0].text;
    for (const Builtin& b : kBuiltins)
        if (b.name == name) return b.text;
    std::string known;
    for (const Builtin& b : kBuiltins) known += (known.empty() ? "" : ", ") + std::string(b.name);
    throw ScenarioError("unknown built-in scenario \"" + std::string(name) + "\" (built in: " + known + ")");
}

}  // namespace quillmar::lb::sim
