// Input-token estimate of an inference request body.
//
// The estimate is characters of text / 4 (remainder dropped) + one token per
// pre-tokenized id + IMAGE_TOKEN_COST per image or video part. It covers the
// prompt side only: output limits such as "max_tokens" are never read,
// because a backend's "max_input_tokens" limits the prompt alone.
//
// Body shapes read (a shape not listed scores 0 and so fits every backend):
//   "messages"  chat: the "content" of each object entry (string, or array of
//               parts: "text"/"input_text"/"output_text" parts count their
//               "text"; "image_url"/"image"/"input_image"/"video_url" parts
//               count one image). When "messages" is an array, "prompt" is
//               not read.
//   "prompt"    completions: a string, or the strings of an array.
//   "system"    read like a message "content".
//   "input", "query", "items", "documents"
//               embeddings/responses/rerank/score: strings count characters,
//               integers (and booleans) one token id each, arrays of ids and
//               content parts one level down.
//   "instruct"  rerank instruction string.
//
// Characters are Unicode code points (UTF-8 bytes that are not continuation
// bytes), so non-ASCII text counts once per character.
//
// Cost: one pass over the relevant values, linear in their size; no
// allocation, no copy of any text, no logging, no state between calls.
// Never throws for any JSON value.
#pragma once

#include <boost/json/value.hpp>

#include <cstdint>

namespace quillmar::lb {

// The three counters behind an estimate, for callers that want to show how
// it was reached.
struct TokenCounts {
    std::int64_t total_chars = 0;  // code points of text seen
    std::int64_t token_ids = 0;    // pre-tokenized ids seen
    std::int64_t image_count = 0;  // image and video parts seen

    friend bool operator==(const TokenCounts&, const TokenCounts&) = default;
};

// Counts the text, ids and images of `body`; all zero when it is not an object.
TokenCounts count_request_tokens(const boost::json::value& body) noexcept;

// total_chars / 4 + token_ids + image_count x image_token_cost. The image
// product saturates at the int64 limits instead of overflowing, so a huge or
// negative cost gives a clamped (possibly negative) result rather than UB.
std::int64_t estimate_from_counts(const TokenCounts& counts, std::int64_t image_token_cost) noexcept;

// estimate_from_counts(count_request_tokens(body), IMAGE_TOKEN_COST), with
// IMAGE_TOKEN_COST read at each call so a run-time change applies to the next
// estimate. Any JSON value is accepted; a body that is not an object gives 0.
std::int64_t estimate_request_tokens(const boost::json::value& body) noexcept;

}  // namespace quillmar::lb
