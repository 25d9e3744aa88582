#include "commands.hpp"

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>

#include <charconv>
#include <cmath>
#include <string_view>

namespace quillmar::lb::tools {

namespace {

// Boost.JSON writes every double in exponent form (30.0 as "3E1"), which is
// valid but hard to read; a top-level number is written in its shortest
// round-trip form instead, keeping a ".0" so it still reads as a float.
std::string format_value(const boost::json::value& v) {
    if (!v.is_double() || !std::isfinite(v.get_double())) return boost::json::serialize(v);
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.get_double());
    if (ec != std::errc{}) return boost::json::serialize(v);
    std::string out(buf, end);
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

}  // namespace

void print_json_lines(std::FILE* out, const boost::json::object& obj) {
    if (obj.empty()) {
        std::fputs("{}\n", out);
        return;
    }
    std::fputs("{\n", out);
    std::size_t left = obj.size();
    for (const auto& member : obj) {
        std::string key = boost::json::serialize(boost::json::string(member.key()));
        std::string value = format_value(member.value());
        std::fprintf(out, "  %s: %s%s\n", key.c_str(), value.c_str(), --left > 0 ? "," : "");
    }
    std::fputs("}\n", out);
}

}  // namespace quillmar::lb::tools
