#include "proxy/message.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace quillmar::proxy {

namespace {

// The thread's spare blocks of kBlockBytes. At most kKept stay (the busiest
// moment's requests in flight, up to 8 MiB); the rest go back to the heap.
class BlockCache {
public:
    static constexpr std::size_t kKept = 1024;

    ~BlockCache() {
        for (void* p : spare_) ::operator delete(p);
    }
    void* take() {
        if (spare_.empty()) return ::operator new(RequestArena::kBlockBytes);
        void* p = spare_.back();
        spare_.pop_back();
        return p;
    }
    void give(void* p) noexcept {
        if (spare_.size() < kKept) {
            try {
                spare_.push_back(p);
                return;
            } catch (const std::bad_alloc&) {
            }
        }
        ::operator delete(p);
    }

private:
    std::vector<void*> spare_;
};

// A session frame still suspended when its loop is destroyed releases its
// arena then, so the cache must outlive every loop on the thread.
BlockCache& block_cache() {
    thread_local BlockCache cache;
    return cache;
}

char* align_up(char* p, std::size_t align) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return reinterpret_cast<char*>((at + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1));
}

}  // namespace

void* RequestArena::do_allocate(std::size_t bytes, std::size_t align) {
    if (next_) {
        char* at = align_up(next_, align);
        if (at <= end_ && static_cast<std::size_t>(end_ - at) >= bytes) {
            next_ = at + bytes;
            return at;
        }
    }
    // A new block: the cache's size when the request fits one, else one of
    // its own, room for the header and the alignment included.
    const std::size_t header = sizeof(Block);
    const std::size_t need = header + bytes + std::max(align, alignof(std::max_align_t));
    if (need < bytes) throw std::bad_alloc();
    const bool standard = need <= kBlockBytes;
    const std::size_t size = standard ? kBlockBytes : need;
    void* raw = standard ? block_cache().take() : ::operator new(size);
    auto* block = static_cast<Block*>(raw);
    block->next = blocks_;
    block->bytes = size;
    blocks_ = block;
    char* start = static_cast<char*>(raw);
    char* at = align_up(start + header, align);
    next_ = at + bytes;
    end_ = start + size;
    return at;
}

void RequestArena::release() noexcept {
    while (blocks_) {
        Block* block = blocks_;
        blocks_ = block->next;
        if (block->bytes == kBlockBytes) block_cache().give(block);
        else ::operator delete(block);
    }
    next_ = end_ = nullptr;
}

}  // namespace quillmar::proxy
