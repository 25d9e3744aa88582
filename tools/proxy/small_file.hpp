// Reading the files a configuration names (the configuration itself, the
// admin token, TLS certificates and keys) without trusting what they are.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace quillmar::proxy {

// The whole of `path` when it is a regular file of at most `limit` bytes;
// otherwise nothing, and `why` says what is wrong. Only a regular file: a
// FIFO would block the loop thread (a reload runs on it) until something
// writes to it, and a device such as /dev/zero never ends. Costs one open,
// one fstat and reads of at most limit + 1 bytes.
inline std::optional<std::string> read_regular_file(const std::string& path, std::size_t limit, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (static_cast<std::size_t>(st.st_size) > limit) {
        why = "larger than " + std::to_string(limit) + " bytes";
    } else {
        // Sized by what fstat says, grown if the file grows meanwhile.
        std::string text(std::min<std::size_t>(limit, static_cast<std::size_t>(st.st_size)) + 1, '\0');
        std::size_t got = 0;
        bool failed = false;
        for (;;) {
            if (got == text.size()) {
                if (got > limit) break;
                text.resize(std::min(limit + 1, text.size() * 2));
            }
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed = n < 0;
                if (failed) why = std::strerror(errno);
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        if (!failed && got > limit) why = "larger than " + std::to_string(limit) + " bytes";
        if (!failed && got <= limit) {
            text.resize(got);
            out = std::move(text);
        }
    }
    ::close(fd);
    return out;
}

}  // namespace quillmar::proxy
