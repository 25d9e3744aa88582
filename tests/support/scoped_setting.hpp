// Overrides one process-wide setting for the life of the object.
#pragma once

namespace quillmar::lb::testing {

template <class T>
class ScopedSetting {
public:
    ScopedSetting(T& setting, T value) : setting_(setting), saved_(setting) { setting_ = value; }
    ~ScopedSetting() { setting_ = saved_; }
    ScopedSetting(const ScopedSetting&) = delete;
    ScopedSetting& operator=(const ScopedSetting&) = delete;

private:
    T& setting_;
    T saved_;
};

}  // namespace quillmar::lb::testing
