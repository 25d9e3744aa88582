// Input-token estimate of an inference request body.
#pragma once

#include <boost/json/value.hpp>

#include <cstdint>

namespace quillmar::lb {

// Characters of text / 4 + pre-tokenized ids + images x IMAGE_TOKEN_COST
// (read at each call). Any JSON value is accepted; a body that is not an
// object gives 0. Never throws, never copies text; linear in the body.
std::int64_t estimate_request_tokens(const boost::json::value& body) noexcept;

}  // namespace quillmar::lb
