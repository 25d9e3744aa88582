#include "load_balancer/estimator.hpp"

namespace quillmar::lb {

std::int64_t estimate_request_tokens(const boost::json::value&) noexcept { return 0; }

}  // namespace quillmar::lb
