// `quillmar-lb estimate [FILE]`: the input-token estimate of one request
// body, read from FILE or from stdin.
#include "commands.hpp"

#include "load_balancer/estimator.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/settings.hpp"

#include <boost/json/object.hpp>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace quillmar::lb::tools {

namespace {

struct EstimateOptions {
    std::string file = "-";
    bool explain = false;
    std::uint64_t max_bytes = 64ull << 20;
};

void run_estimate(const EstimateOptions& opt) {
    const std::string body = read_input("request body", opt.file, opt.max_bytes, "--max-bytes");
    // Read straight from the bytes; on failure the message names the byte
    // offset where parsing stopped (the end of the input for a truncated
    // text).
    const ScannedRequest scanned = scan_request(body);
    if (scanned.status != ScanStatus::ok) {
        throw CommandExit(EXIT_USAGE, "invalid JSON in " + describe_input(opt.file) + " at byte offset " +
                                          std::to_string(scanned.error_offset) + ": " + scanned.error);
    }

    // Read the cost once so the explanation and the estimate agree.
    const std::int64_t image_cost = IMAGE_TOKEN_COST;
    const TokenCounts& counts = scanned.counts;
    const std::int64_t estimate = estimate_from_counts(counts, image_cost);
    if (!opt.explain) {
        std::printf("%" PRId64 "\n", estimate);
        return;
    }
    boost::json::object out;
    out["total_chars"] = counts.total_chars;
    out["token_ids"] = counts.token_ids;
    out["image_count"] = counts.image_count;
    out["image_token_cost"] = image_cost;
    out["estimate"] = estimate;
    print_json_lines(stdout, out);
}

}  // namespace

void register_estimate(CLI::App& app) {
    auto opt = std::make_shared<EstimateOptions>();
    CLI::App* cmd = app.add_subcommand("estimate", "Estimate the input tokens of a request body (JSON)");
    cmd->add_option("FILE", opt->file, "Request body file; '-' or absent reads stdin");
    cmd->add_flag("--explain", opt->explain,
                  "Print the counters behind the estimate as JSON (total_chars, token_ids, image_count, "
                  "image_token_cost, estimate)");
    cmd->add_option("--max-bytes", opt->max_bytes, "Refuse bodies larger than this many bytes")
        ->capture_default_str()
        ->check(count_between(1, std::numeric_limits<std::uint64_t>::max()));
    cmd->callback([opt] { run_estimate(*opt); });
}

}  // namespace quillmar::lb::tools
