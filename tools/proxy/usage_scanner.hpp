// Token counts a backend reports in its answer's `usage` object, read on the
// fly: from a whole JSON body, or from a streamed body (server-sent events or
// JSON) fed piece by piece, without keeping the stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmar::proxy {

struct Usage {
    std::optional<std::int64_t> prompt_tokens;
    std::optional<std::int64_t> completion_tokens;
    bool empty() const { return !prompt_tokens && !completion_tokens; }
    bool operator==(const Usage&) const = default;
};

// The last top-level-looking `"usage": {...}` in `text` (OpenAI-style bodies
// put it last). Counts that are missing, negative or not integers stay empty.
// A backend's answer is untrusted: anything malformed yields an empty Usage.
// Costs one reverse search of `text` plus a parse of the usage object.
Usage find_usage(std::string_view text);

// Feeds a streamed body line by line. Memory is bounded: a line longer than
// kMaxLine keeps only its last kMaxLine / 2 bytes, enough for the usage
// object at the end of a JSON document. A usage object that a line opens
// and does not close (pretty-printed JSON) is read on over the next lines,
// up to kMaxPending bytes. The last usage found wins (servers that report
// running totals send one per event).
class UsageScanner {
public:
    static constexpr std::size_t kMaxLine = 16 * 1024;
    static constexpr std::size_t kMaxPending = 4 * 1024;
    // Scans the complete lines in `bytes`; keeps the incomplete tail.
    void feed(std::string_view bytes);
    // Scans what is left (a body that does not end in a newline).
    void finish();
    const Usage& usage() const { return usage_; }

private:
    void scan(std::string_view line);
    std::string line_;
    std::string pending_;  // from an open usage object's key on, while it spans lines
    Usage usage_;
};

namespace detail {
// The two readers of one usage object (`text` starts at its `{`, blanks
// allowed before it), apart so the fuzz target can hold one to the other.
// read_flat_usage takes only the common flat shape and gives nothing for
// anything else; where it answers, parse_usage (the full JSON parser,
// nothing for a broken or cut-off object) must give the same counts.
std::optional<Usage> read_flat_usage(std::string_view text);
std::optional<Usage> parse_usage(std::string_view text);
}  // namespace detail

}  // namespace quillmar::proxy
