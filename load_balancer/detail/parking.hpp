// The suspension behind wait_for: the awaiting coroutine's completion handler
// is stored as it is and resumed through its executor when something wakes
// it. Waking costs one post (no timer, no reactor call, no lock); a
// coroutine's handler is stored inside the slot, a larger one takes a block
// from Asio's per-thread recycling cache.
// Loop-thread only, like everything in runtime.hpp.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/recycling_allocator.hpp>

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace quillmar::lb::detail {

class WaitService;

// A completion handler of signature void(), type-erased.
class StoredCompletion {
public:
    // Frees this block, then runs the handler.
    virtual void complete() = 0;
    // Frees this block and the handler without running it.
    virtual void destroy() noexcept = 0;

protected:
    ~StoredCompletion() = default;
};

struct DestroyCompletion {
    void operator()(StoredCompletion* c) const noexcept { c->destroy(); }
};
using CompletionPtr = std::unique_ptr<StoredCompletion, DestroyCompletion>;

// Room in a slot for a stored handler (a coroutine's handler is one pointer
// and the block's vtable).
inline constexpr std::size_t kInlineCompletionSize = 4 * sizeof(void*);
struct alignas(std::max_align_t) InlineCompletionStorage {
    unsigned char bytes[kInlineCompletionSize];
};

// `Inline`: the block lives in a slot's storage rather than in a block of
// its own. Either way the handler leaves the block before it runs or is
// destroyed, as destroying it may free the slot that holds the block.
template <class Handler, bool Inline>
class StoredCompletionFor final : public StoredCompletion {
public:
    using Alloc = boost::asio::recycling_allocator<StoredCompletionFor>;

    static CompletionPtr make(Handler&& h, InlineCompletionStorage& storage) {
        static_assert(std::is_nothrow_move_constructible_v<Handler>);
        void* block = &storage;
        if constexpr (!Inline) block = Alloc().allocate(1);
        return CompletionPtr(::new (block) StoredCompletionFor(std::move(h)));
    }
    void complete() override {
        Handler h(std::move(handler_));
        free_block();
        std::move(h)();
    }
    void destroy() noexcept override {
        Handler h(std::move(handler_));
        free_block();
    }

private:
    explicit StoredCompletionFor(Handler&& h) noexcept : handler_(std::move(h)) {}
    void free_block() noexcept {
        this->~StoredCompletionFor();
        if constexpr (!Inline) Alloc().deallocate(this, 1);
    }
    Handler handler_;
};

template <class Handler>
inline constexpr bool fits_inline = sizeof(StoredCompletionFor<Handler, true>) <= kInlineCompletionSize &&
                                    alignof(StoredCompletionFor<Handler, true>) <= alignof(std::max_align_t);

// One wait slot: at most one suspended coroutine at a time. Registered with
// the execution context's WaitService while a handler is stored, so that the
// context's shutdown destroys a wait nobody woke (the handler owns the
// coroutine frames, which own this slot: without that, they would leak).
class Parking {
public:
    // Finds the context's WaitService: a registry lookup, unless this
    // thread's previous slot was on the same context.
    explicit Parking(const boost::asio::any_io_executor& ex);
    ~Parking();
    Parking(const Parking&) = delete;
    Parking& operator=(const Parking&) = delete;

    const boost::asio::any_io_executor& executor() const noexcept { return ex_; }
    WaitService& service() const noexcept { return *service_; }
    bool waiting() const noexcept { return pending_ != nullptr; }

    // `co_await parking.suspend()` stores the coroutine's completion and
    // suspends until wake() or a cancellation of the coroutine (any of
    // terminal, partial, total). Completes with no value; the caller reads
    // why it woke from its own state.
    auto suspend() noexcept { return Suspend{this}; }

    // Posts the stored completion to its executor: the coroutine resumes
    // later, never inside this call. No effect when nothing waits.
    void wake() noexcept;

    bool timed_out = false;  // set by the deadline structure before it wakes
    bool in_use = false;     // a wait owns this slot (from suspension to its end)

private:
    friend class WaitService;

    struct WakeOnCancel {
        Parking* parking;
        void operator()(boost::asio::cancellation_type type) const noexcept {
            using boost::asio::cancellation_type;
            if ((type & (cancellation_type::terminal | cancellation_type::partial | cancellation_type::total)) !=
                cancellation_type::none)
                parking->wake();
        }
    };

    struct Initiate {
        Parking* parking;
        template <class Handler>
        void operator()(Handler&& h) const {
            parking->store(std::forward<Handler>(h));
        }
    };

    // An operation object: co_await on it initiates with the coroutine's own
    // handler, with no coroutine frame of its own.
    struct Suspend {
        Parking* parking;
        template <boost::asio::completion_token_for<void()> Token>
        auto operator()(Token&& token) {
            return boost::asio::async_initiate<Token, void()>(Initiate{parking}, token);
        }
    };

    template <class Handler>
    void store(Handler&& h) {
        using H = std::decay_t<Handler>;
        auto slot = boost::asio::get_associated_cancellation_slot(h);
        resume_ex_ = boost::asio::get_associated_executor(h, ex_);
        CompletionPtr c = StoredCompletionFor<H, fits_inline<H>>::make(std::move(h), storage_);
        // A context that has shut down runs nothing more: the handler is
        // dropped (last, as that may free this slot) like its pending timers.
        if (!enlist()) return;
        pending_ = std::move(c);
        if (slot.is_connected()) slot.template emplace<WakeOnCancel>(WakeOnCancel{this});
    }
    bool enlist() noexcept;
    void delist() noexcept;

    boost::asio::any_io_executor ex_;
    boost::asio::any_io_executor resume_ex_;  // the stored handler's executor
    WaitService* service_;
    CompletionPtr pending_;
    InlineCompletionStorage storage_;  // holds the stored handler when it fits
    static constexpr std::size_t kNoDeadline = ~std::size_t{0};
    std::size_t deadline_index_ = kNoDeadline;  // position in the service's deadline heap
    Parking* prev_ = nullptr;  // the service's list of stored handlers
    Parking* next_ = nullptr;
    bool listed_ = false;
};

}  // namespace quillmar::lb::detail
