// A validating JSON scanner that records where every value sits in the
// text, without copying or converting anything. It answers "certainly valid
// for Boost.JSON's parser (default options, the given max_depth), and here
// is the structure", or "not decided": invalid text, nesting too deep, an
// exponent near Boost's int32 limit, or a body of 1 GiB and more. The
// caller hands undecided texts to Boost.JSON, whose verdict is the reference.
//
// Cost: one pass over the text; the node buffer holds up to eight bytes per text byte. String contents are skipped sixteen or
// sixty-four bytes at a time (SSE2) looking only for '"', '\\' and control
// bytes; numbers are checked for grammar, not converted. A string's UTF-8
// is validated (simdjson's SIMD validator) only when it holds a byte above
// 0x7F. One 16-byte node per value, kept between calls.
// Internal header: not part of the public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::lb::detail {

enum class JsonKind : std::uint8_t { object, array, string, integer, floating, boolean, null };

// One value. pos/len locate its text in the scanned body: a string's raw
// contents between the quotes, a number's literal, a container's opening
// bracket. aux depends on the kind:
//   object, array: how many nodes follow that belong to it (an object's
//                  children alternate key string, value);
//   string:        the code points its escapes do not contribute, so the
//                  decoded text has code_points(raw) - aux code points;
//   boolean:       1 for true.
// Trivial, so the tape's buffer is not written before the scanner fills it.
struct JsonNode {
    std::uint32_t pos;
    std::uint32_t len;
    std::uint32_t aux;
    JsonKind kind;
    bool escaped;  // a string holding at least one backslash escape
};

class JsonTape {
public:
    // True when `text` is one valid JSON text with at most max_depth nested
    // containers that Boost.JSON accepts too; the nodes then describe it in
    // text order. False when undecided (see above). Throws std::bad_alloc.
    bool scan(std::string_view text, std::size_t max_depth);

    // The first node (the root) of the last text scanned successfully.
    const JsonNode* root() const noexcept { return nodes_.get(); }

private:
    // Room for the most values a text can hold, plus a few nodes the id
    // reader writes and drops, so the scanner never checks for space: n
    // bytes hold at most (n + 1) / 2 values (a container takes two brackets,
    // any other value a byte, and every value but the first in its
    // container a separator). Grown, never shrunk.
    std::unique_ptr<JsonNode[]> nodes_;
    std::size_t capacity_ = 0;
    std::vector<std::uint32_t> open_;  // indices of the containers not yet closed
};

// Appends the decoded text of string contents `raw` (already validated by
// JsonTape::scan) to `out`.
void decode_json_string(std::string_view raw, std::string& out);

}  // namespace quillmar::lb::detail
