#include "load_balancer/estimator.hpp"

#include "load_balancer/settings.hpp"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>

#include <cstddef>
#include <limits>
#include <string_view>

namespace quillmar::lb {

namespace json = boost::json;

namespace {

// Code points of valid UTF-8 text: every byte that is not a continuation
// byte (10xxxxxx) starts a character. The parser has already validated the
// encoding, so no decoding is needed. Work is split into fixed 64-byte
// blocks with a byte-wide counter: a fixed trip count lets g++ vectorise the
// inner loop even at -O2 (its cheap cost model refuses loops that would need
// a scalar epilogue), and the narrow counter avoids widening every lane.
std::int64_t code_points(const json::string& s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    constexpr std::size_t block = 64;
    std::size_t i = 0;
    std::int64_t count = 0;
    for (; i + block <= n; i += block) {
        unsigned char in_block = 0;
        for (std::size_t j = 0; j < block; ++j) in_block += (p[i + j] & 0xC0) != 0x80;
        count += in_block;
    }
    for (; i < n; ++i) count += (p[i] & 0xC0) != 0x80;
    return count;
}

// Booleans count as integers, the way a pre-tokenized id list is read.
bool is_integer(const json::value& v) noexcept {
    return v.is_int64() || v.is_uint64() || v.is_bool();
}

bool is_text_type(std::string_view t) noexcept {
    return t == "text" || t == "input_text" || t == "output_text";
}

bool is_image_type(std::string_view t) noexcept {
    return t == "image_url" || t == "image" || t == "input_image" || t == "video_url";
}

// One content part given as an object: counted by its "type".
void scan_part(const json::object& part, TokenCounts& c) noexcept {
    const json::value* type = part.if_contains("type");
    if (type == nullptr) return;
    const json::string* t = type->if_string();
    if (t == nullptr) return;
    if (is_text_type(*t)) {
        const json::value* text = part.if_contains("text");
        if (text != nullptr) {
            if (const json::string* s = text->if_string()) c.total_chars += code_points(*s);
        }
    } else if (is_image_type(*t)) {
        // The rest of an image part (URL, base64 data, source) is not read:
        // every image costs the same flat amount.
        ++c.image_count;
    }
}

// A chat-style content value: a string, or an array of string and object
// parts. A lone object is not content.
void scan_content(const json::value& v, TokenCounts& c) noexcept {
    if (const json::string* s = v.if_string()) {
        c.total_chars += code_points(*s);
        return;
    }
    const json::array* parts = v.if_array();
    if (parts == nullptr) return;
    for (const json::value& part : *parts) {
        if (const json::string* s = part.if_string()) {
            c.total_chars += code_points(*s);
        } else if (const json::object* o = part.if_object()) {
            scan_part(*o, c);
        }
    }
}

// An input-style value (embeddings, responses, rerank, score): text, token
// ids, batches of ids, and content parts. Read two levels deep and no
// deeper; ids nested further count nothing.
void scan_tokenizable(const json::value& v, TokenCounts& c) noexcept {
    if (const json::string* s = v.if_string()) {
        c.total_chars += code_points(*s);
        return;
    }
    const json::array* items = v.if_array();
    if (items == nullptr) return;
    for (const json::value& item : *items) {
        if (const json::string* s = item.if_string()) {
            c.total_chars += code_points(*s);
        } else if (is_integer(item)) {
            ++c.token_ids;
        } else if (const json::array* sub = item.if_array()) {
            for (const json::value& x : *sub) {
                if (is_integer(x)) {
                    ++c.token_ids;
                } else if (const json::object* o = x.if_object()) {
                    scan_part(*o, c);
                } else {
                    scan_content(x, c);
                }
            }
        } else if (const json::object* o = item.if_object()) {
            scan_part(*o, c);
        }
    }
}

}  // namespace

TokenCounts count_request_tokens(const json::value& body) noexcept {
    TokenCounts c;
    const json::object* obj = body.if_object();
    if (obj == nullptr) return c;

    const json::value* messages = obj->if_contains("messages");
    const json::array* msgs = messages != nullptr ? messages->if_array() : nullptr;
    if (msgs != nullptr) {
        for (const json::value& m : *msgs) {
            const json::object* msg = m.if_object();
            if (msg == nullptr) continue;
            if (const json::value* content = msg->if_contains("content")) scan_content(*content, c);
        }
    } else if (const json::value* prompt = obj->if_contains("prompt")) {
        if (const json::string* s = prompt->if_string()) {
            c.total_chars += code_points(*s);
        } else if (const json::array* a = prompt->if_array()) {
            // Integer ids in a prompt are not counted: only its strings.
            for (const json::value& x : *a) {
                if (const json::string* s = x.if_string()) c.total_chars += code_points(*s);
            }
        }
    }

    if (const json::value* system = obj->if_contains("system")) scan_content(*system, c);

    for (std::string_view key : {"input", "query", "items", "documents"}) {
        if (const json::value* v = obj->if_contains(key)) scan_tokenizable(*v, c);
    }

    if (const json::value* instruct = obj->if_contains("instruct")) {
        if (const json::string* s = instruct->if_string()) c.total_chars += code_points(*s);
    }
    return c;
}

std::int64_t estimate_from_counts(const TokenCounts& counts, std::int64_t image_token_cost) noexcept {
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    std::int64_t images = 0;
    if (__builtin_mul_overflow(counts.image_count, image_token_cost, &images)) {
        images = (image_token_cost < 0) != (counts.image_count < 0) ? lo : hi;
    }
    std::int64_t text = counts.total_chars / 4 + counts.token_ids;
    std::int64_t out = 0;
    if (__builtin_add_overflow(text, images, &out)) out = images < 0 ? lo : hi;
    return out;
}

std::int64_t estimate_request_tokens(const json::value& body) noexcept {
    return estimate_from_counts(count_request_tokens(body), IMAGE_TOKEN_COST);
}

}  // namespace quillmar::lb
