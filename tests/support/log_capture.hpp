// Captures the "load_balancer" logger's lines for the life of the object so
// tests can assert on exact texts and levels.
#pragma once

#include "load_balancer/log.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillmar::lb::testing {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;
    friend bool operator==(const LogLine&, const LogLine&) = default;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}
};

class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<CaptureSink>()) {
        spdlog::drop(LOGGER_NAME);
        auto lg = std::make_shared<spdlog::logger>(LOGGER_NAME, sink_);
        lg->set_level(spdlog::level::trace);
        spdlog::register_logger(lg);
    }
    ~LogCapture() { spdlog::drop(LOGGER_NAME); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& lines() const { return sink_->lines; }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& l : sink_->lines) out.push_back(l.text);
        return out;
    }
    void clear() { sink_->lines.clear(); }

private:
    std::shared_ptr<CaptureSink> sink_;
};

}  // namespace quillmar::lb::testing
