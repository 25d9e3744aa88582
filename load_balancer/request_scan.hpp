// Reading what the balancer needs from a request body straight from its
// bytes, without building a JSON document tree.
//
// scan_request validates the whole body as JSON (the same texts
// boost::json::parse accepts with the same max_depth, and no others) and
// returns, for a valid body:
//   - the token counts and estimate: exactly count_request_tokens /
//     estimate_request_tokens of the parsed body;
//   - the top-level "model" value when it is a string;
//   - the top-level member the host routes on (ScanOptions::routed_field),
//     as a kind plus text: a string's value, or boost::json::serialize of
//     any other non-null value, so a host keyed on that text sees no change.
// With duplicate keys the last member wins, as in Boost.JSON's parser.
//
// Cost: one validating pass over the bytes (detail/json_scan.hpp: strings
// skipped 16 to 64 bytes at a time, numbers checked but not converted,
// UTF-8 validated only when a non-ASCII byte is present) that records one
// small node per value, then a walk over the few fields the estimate reads;
// the text of skipped values is never copied. The node buffer (up to eight
// bytes per body byte) is kept per thread and reused for bodies up to
// 1 MiB, so a call allocates at most the two result strings. What the
// scanner leaves undecided (invalid bodies, exponents of nine digits and
// more, bodies of 1 GiB and more) and a routed field whose value is a
// float, array or object take the Boost.JSON path instead, which costs one
// DOM parse and gives the same results.
// Throws only std::bad_alloc; invalid input is reported in the result.
#pragma once

#include "load_balancer/estimator.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmar::lb {

enum class ScanStatus {
    ok,
    invalid_json,  // not one complete, valid JSON text
    too_deep,      // arrays/objects nested deeper than ScanOptions::max_depth
};

// Kind of the routed member, so the host can tell "absent" from "null" from
// a value whose text happens to be empty.
enum class FieldKind { absent, null, string, other };

struct ScanOptions {
    // Top-level member whose value the host routes on; empty for none.
    std::string_view routed_field = {};
    // Deepest nesting of arrays and objects accepted (Boost.JSON's default
    // parse limit). 32 accepts 32 nested arrays and refuses 33.
    std::size_t max_depth = 32;
};

struct ScannedRequest {
    ScanStatus status = ScanStatus::ok;
    std::string error;            // parser message when status != ok
    std::size_t error_offset = 0; // byte offset where parsing stopped

    bool is_object = false;       // the body is a JSON object
    TokenCounts counts;           // zero unless is_object
    std::int64_t estimate = 0;    // estimate_from_counts(counts, IMAGE_TOKEN_COST)
    std::optional<std::string> model;  // "model" when it is a string
    FieldKind routed_kind = FieldKind::absent;
    std::string routed_text;      // string value, or serialized non-null value
};

// Validates and reads `body` as described above. IMAGE_TOKEN_COST is read
// once per call. Thread-safe (per-thread parser state).
ScannedRequest scan_request(std::string_view body, const ScanOptions& options = {});

// The same results computed from a parsed document; what scan_request gives
// for the text of `body`. Exposed for hosts that already hold a document.
ScannedRequest scan_parsed_request(const boost::json::value& body, std::string_view routed_field);

}  // namespace quillmar::lb
