// The HTTP messages of the request road and where their header fields live.
//
// Beast keeps every header field in an allocation of its own: a request and
// its backend's answer made a dozen small allocations and as many frees,
// the largest share of the proxy's allocator time per request. Their fields
// (and the buffer the answer is read into) come instead from the session's
// RequestArena, emptied between requests: an allocation is a pointer bump,
// the frees are one release. The arena's blocks are kept for reuse by the
// thread, so memory follows the requests in flight, not the idle keep-alive
// connections.
//
// A message built without an arena (the default allocator argument)
// allocates from the heap as usual.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/fields.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <memory_resource>
#include <string>

namespace quillmar::proxy {

using FieldAlloc = std::pmr::polymorphic_allocator<char>;
using Fields = boost::beast::http::basic_fields<FieldAlloc>;
using Request = boost::beast::http::request<boost::beast::http::string_body, Fields>;
using RequestHead = boost::beast::http::request_header<Fields>;
using ResponseHead = boost::beast::http::response_header<Fields>;
using RequestParser = boost::beast::http::request_parser<boost::beast::http::string_body, FieldAlloc>;
using ResponseReader = boost::beast::http::response_parser<boost::beast::http::buffer_body, FieldAlloc>;
using ArenaBuffer = boost::beast::basic_flat_buffer<FieldAlloc>;
// A request's own text (the heads the proxy writes, a small answer read
// whole), allocated from its arena like its fields.
using ArenaString = std::basic_string<char, std::char_traits<char>, FieldAlloc>;

// One request's memory: allocations bump a pointer through fixed-size
// blocks; deallocation does nothing; release() hands every block back at
// once. Blocks come from, and return to, a cache kept per thread (a proxy
// runs its sessions on one), so a request after the first costs no trip to
// the heap. An allocation larger than a block gets a block of its own.
// Not thread-safe: one session's arena, used on its loop thread.
class RequestArena final : public std::pmr::memory_resource {
public:
    // Room for a request head with a few dozen fields, a typical answer's
    // head and the 4 KiB its first read takes.
    static constexpr std::size_t kBlockBytes = 8 * 1024;

    RequestArena() = default;
    RequestArena(const RequestArena&) = delete;
    RequestArena& operator=(const RequestArena&) = delete;
    ~RequestArena() override { release(); }

    FieldAlloc allocator() noexcept { return FieldAlloc(this); }
    // Every message using the arena must be gone.
    void release() noexcept;

private:
    struct Block {
        Block* next;
        std::size_t bytes;  // the whole allocation, this header included
    };

    void* do_allocate(std::size_t bytes, std::size_t align) override;
    void do_deallocate(void*, std::size_t, std::size_t) noexcept override {}
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    Block* blocks_ = nullptr;  // the newest first
    char* next_ = nullptr;     // free room in the newest block
    char* end_ = nullptr;
};

}  // namespace quillmar::proxy
