// The token-estimate walk over a parsed request body, written once for any
// document model. Used by estimator.cpp on a boost::json::value and by
// request_scan.cpp on the scanner's tape, so both entry points read exactly the
// same fields in the same way (see estimator.hpp for the rules).
//
// A document model `Dom` supplies, for its cheap-to-copy value type
// `Dom::Value`:
//   string(v, out)   true and the text of v in out when v is a string
//   chars(v, out)    optional: true and the code points of v's text when v
//                    is a string
//   is_integer(v)    v is an integer or a boolean (a pre-tokenized id)
//   is_array(v), is_object(v)
//   items(v)         a range over the elements of an array
//   field(v, key, out)  true and the member in out when object v has key;
//                    with duplicate keys, the LAST one (what Boost.JSON's
//                    parser keeps)
//   fields(v, keys, out, found)  optional: field() for each of `keys` at
//                    once, for a model whose look-up is a scan of the members
// Internal header: not part of the public interface.
#pragma once

#include "load_balancer/estimator.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmar::lb::detail {

// Code points of valid UTF-8 text: every byte that is not a continuation
// byte (10xxxxxx) starts a character. The parser has already validated the
// encoding, so no decoding is needed. Work is split into fixed 64-byte
// blocks with a byte-wide counter: a fixed trip count lets g++ vectorise the
// inner loop even at -O2 (its cheap cost model refuses loops that would need
// a scalar epilogue), and the narrow counter avoids widening every lane.
inline std::int64_t code_points(std::string_view s) noexcept {
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

inline bool is_text_type(std::string_view t) noexcept {
    return t == "text" || t == "input_text" || t == "output_text";
}

inline bool is_image_type(std::string_view t) noexcept {
    return t == "image_url" || t == "image" || t == "input_image" || t == "video_url";
}

template <class Dom>
struct TokenWalk {
    using Value = typename Dom::Value;
    TokenCounts c;

    // A model that can count a string's code points without decoding it
    // supplies chars(v, out); the others decode and count.
    void text(Value v) noexcept {
        if constexpr (requires(std::int64_t n) { Dom::chars(v, n); }) {
            std::int64_t n = 0;
            if (Dom::chars(v, n)) c.total_chars += n;
        } else {
            std::string_view s;
            if (Dom::string(v, s)) c.total_chars += code_points(s);
        }
    }

    // One content part given as an object: counted by its "type".
    void part(Value obj) noexcept {
        Value type;
        std::string_view t;
        if (!Dom::field(obj, "type", type) || !Dom::string(type, t)) return;
        if (is_text_type(t)) {
            Value body;
            if (Dom::field(obj, "text", body)) text(body);
        } else if (is_image_type(t)) {
            // The rest of an image part (URL, base64 data, source) is not
            // read: every image costs the same flat amount.
            ++c.image_count;
        }
    }

    // A chat-style content value: a string, or an array of string and
    // object parts. A lone object is not content.
    void content(Value v) noexcept {
        if (!Dom::is_array(v)) return text(v);
        for (Value p : Dom::items(v)) {
            if (Dom::is_object(p)) part(p);
            else text(p);
        }
    }

    // An input-style value (embeddings, responses, rerank, score): text,
    // token ids, batches of ids, and content parts. Read two levels deep and
    // no deeper; ids nested further count nothing.
    void tokenizable(Value v) noexcept {
        if (!Dom::is_array(v)) return text(v);
        for (Value item : Dom::items(v)) {
            if (Dom::is_integer(item)) {
                ++c.token_ids;
            } else if (Dom::is_array(item)) {
                for (Value x : Dom::items(item)) {
                    if (Dom::is_integer(x)) ++c.token_ids;
                    else if (Dom::is_object(x)) part(x);
                    else content(x);
                }
            } else if (Dom::is_object(item)) {
                part(item);
            } else {
                text(item);
            }
        }
    }

    // The top-level members the walk reads.
    enum Root { messages, prompt, system, input, query, items, documents, instruct, root_keys };
    static constexpr std::array<std::string_view, root_keys> kRootKeys{
        "messages", "prompt", "system", "input", "query", "items", "documents", "instruct"};
    using RootValues = std::array<Value, root_keys>;
    using RootFound = std::array<bool, root_keys>;

    // "messages" when it is an array, else "prompt" (only its strings:
    // integer ids in a prompt are not counted).
    void conversation(const RootValues& v, const RootFound& found) noexcept {
        if (found[messages] && Dom::is_array(v[messages])) {
            for (Value m : Dom::items(v[messages])) {
                Value content_value;
                if (Dom::is_object(m) && Dom::field(m, "content", content_value)) content(content_value);
            }
        } else if (found[prompt]) {
            if (!Dom::is_array(v[prompt])) return text(v[prompt]);
            for (Value x : Dom::items(v[prompt])) text(x);
        }
    }

    void body(Value root) noexcept {
        if (!Dom::is_object(root)) return;
        RootValues v{};
        RootFound found{};
        if constexpr (requires { Dom::fields(root, kRootKeys, v, found); }) {
            Dom::fields(root, kRootKeys, v, found);
        } else {
            for (std::size_t i = 0; i < root_keys; ++i) found[i] = Dom::field(root, kRootKeys[i], v[i]);
        }
        conversation(v, found);
        if (found[system]) content(v[system]);
        for (Root key : {input, query, items, documents}) {
            if (found[key]) tokenizable(v[key]);
        }
        if (found[instruct]) text(v[instruct]);
    }
};

template <class Dom>
TokenCounts walk_request_tokens(typename Dom::Value root) noexcept {
    TokenWalk<Dom> walk;
    walk.body(root);
    return walk.c;
}

}  // namespace quillmar::lb::detail
