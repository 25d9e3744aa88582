// Input files of the subcommands, and the checks of counts given on the
// command line.
#include "commands.hpp"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

namespace quillmar::lb::tools {

std::string describe_input(const std::string& file) { return file == "-" ? std::string("stdin") : "'" + file + "'"; }

std::string read_input(const std::string& what, const std::string& file, std::uint64_t max_bytes,
                       const std::string& limit) {
    std::FILE* in = stdin;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(nullptr, &std::fclose);
    if (file != "-") {
        in = std::fopen(file.c_str(), "rb");
        if (in == nullptr)
            throw CommandExit(EXIT_USAGE, "cannot open " + what + " " + describe_input(file) + ": " + std::strerror(errno));
        owned.reset(in);
    }
    std::string body;
    char chunk[1 << 16];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, in);
        if (n > 0) {
            if (body.size() + n > max_bytes)
                throw CommandExit(EXIT_USAGE, what + " in " + describe_input(file) + " is larger than " + limit +
                                                  " (" + std::to_string(max_bytes) + " bytes)");
            body.append(chunk, n);
        }
        if (n < sizeof chunk) {
            if (std::ferror(in))
                throw CommandExit(EXIT_USAGE,
                                  "cannot read " + what + " " + describe_input(file) + ": " + std::strerror(errno));
            if (std::feof(in)) break;
        }
    }
    return body;
}

CLI::Validator count_between(std::uint64_t least, std::uint64_t most) {
    return CLI::Validator(
        [least, most](std::string& text) -> std::string {
            std::uint64_t value = 0;
            const char* end = text.data() + text.size();
            const auto [ptr, ec] = std::from_chars(text.data(), end, value);
            if (text.empty() || ec != std::errc() || ptr != end || value < least || value > most)
                return "must be a whole number from " + std::to_string(least) + " to " + std::to_string(most) +
                       " (got " + text + ")";
            return {};
        },
        "COUNT");
}

}  // namespace quillmar::lb::tools
