// Usage counts in a backend's answer (untrusted bytes): the flat reader,
// which skips the JSON parser for the common shape, must read exactly what
// the parser reads wherever it answers; counts are never negative; a
// one-line stream reads as the whole body does; and a stream fed in two
// pieces gives what it gives fed whole (short input, so no line is cut to
// its tail). The first input byte picks where the stream
// is split; the rest is the text.
#include "proxy/usage_scanner.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

namespace proxy = quillmar::proxy;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_usage: %s\n", what);
    std::abort();
}

void check_counts(const proxy::Usage& u) {
    if ((u.prompt_tokens && *u.prompt_tokens < 0) || (u.completion_tokens && *u.completion_tokens < 0))
        fail("a negative count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    if (const std::optional<proxy::Usage> flat = proxy::detail::read_flat_usage(text)) {
        const std::optional<proxy::Usage> full = proxy::detail::parse_usage(text);
        if (!full) fail("the flat reader accepted an object the parser refuses");
        if (*flat != *full) fail("the flat reader and the parser read different counts");
    }

    const proxy::Usage found = proxy::find_usage(text);
    check_counts(found);

    proxy::UsageScanner whole;
    whole.feed(text);
    whole.finish();
    check_counts(whole.usage());
    if (text.find('\n') == std::string_view::npos && whole.usage() != found)
        fail("a one-line stream read differently from the whole body");
    if (text.size() < proxy::UsageScanner::kMaxLine / 2) {
        const std::size_t cut = data[0] % (text.size() + 1);
        proxy::UsageScanner pieces;
        pieces.feed(text.substr(0, cut));
        pieces.feed(text.substr(cut));
        pieces.finish();
        if (pieces.usage() != whole.usage()) fail("a stream read differently in two pieces");
    }
    return 0;
}
