// Backend selection: pin, drain rule, sin-bin, capacity gate, then smooth
// weighted round-robin, weighted least connections or sticky rendezvous
// hashing; the token-fit filter; per-pool locks and idle-pool eviction.
#include "load_balancer/balancer.hpp"

#include "load_balancer/detail/record_view.hpp"
#include "load_balancer/detail/sticky_cache.hpp"
#include "load_balancer/detail/table_at.hpp"
#include "load_balancer/drain.hpp"
#include "load_balancer/log.hpp"
#include "load_balancer/settings.hpp"

#include <blake2.h>
#include <boost/container/small_vector.hpp>
#include <fmt/printf.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quillmar::lb {

namespace {

using detail::RecordView;

// Candidate lists up to this size live on the stack (coroutine frame).
constexpr std::size_t kInlineCandidates = 64;
template <class T>
using InlineVector = boost::container::small_vector<T, kInlineCandidates>;

// The pinned path compares the looked-up "id" for plain equality: a number
// equal to the pin matches, anything else (absent, a string) does not.
bool id_matches(const boost::json::object& rec, std::int64_t wanted) noexcept {
    const boost::json::value* v = lookup(rec, "id");
    if (v == nullptr) return false;
    switch (v->kind()) {
        case boost::json::kind::bool_:
        case boost::json::kind::int64:
        case boost::json::kind::uint64:
        case boost::json::kind::double_: return compare_number(*v, wanted) == 0;
        default: return false;
    }
}

std::int64_t truncate_to_int(double d) noexcept {
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

enum class Algorithm : std::uint8_t { wrr, least_connections, sticky };

// The algorithm `name` stands for, as normalize_lb_algorithm reads it. The
// canonical spellings, which hosts pass, differ in length, so one length
// test and one fixed-size comparison tell them apart; anything else is
// normalised.
Algorithm algorithm_of(std::string_view name) noexcept {
    static_assert(LB_ALGO_WRR.size() != LB_ALGO_LEAST_CONN.size() && LB_ALGO_WRR.size() != LB_ALGO_STICKY.size() &&
                  LB_ALGO_LEAST_CONN.size() != LB_ALGO_STICKY.size());
    if (name.size() == LB_ALGO_WRR.size() && name == LB_ALGO_WRR) return Algorithm::wrr;
    if (name.size() == LB_ALGO_LEAST_CONN.size() && name == LB_ALGO_LEAST_CONN) return Algorithm::least_connections;
    if (name.size() == LB_ALGO_STICKY.size() && name == LB_ALGO_STICKY) return Algorithm::sticky;
    const std::string_view normal = normalize_lb_algorithm(name);
    if (normal == LB_ALGO_STICKY) return Algorithm::sticky;
    return normal == LB_ALGO_LEAST_CONN ? Algorithm::least_connections : Algorithm::wrr;
}

RecordView view_of(const boost::json::object& rec) {
    RecordView v;
    v.fields = record_fields(rec);
    try {
        v.positive = compare_or_zero(v.fields.weight, 0.0) == std::partial_ordering::greater;
        v.id = id_value(v.fields.id);
        v.cap = saturating_int_or_zero(v.fields.max_concurrency);
        v.weight = float_or(v.fields.weight, 1.0);
        v.plain = true;
    } catch (const std::logic_error&) {
        v.plain = false;  // KeyError / ValueError: the checked road raises it in its place
    }
    return v;
}

// Bumped by records_changed(): a thread's cache made under another value
// is emptied before its next lookup.
std::atomic<std::uint64_t> record_generation{0};

// The views of records seen recently, found by the record's identity: the
// object's address and its shared owner. A slot keeps a weak reference, so
// the owner cannot be freed and reused while the slot names it; a record
// freed and another one made at the same address has another owner and
// misses. Records are immutable once handed in, unless the host says
// otherwise through records_changed(), so a hit is served as it stands.
// Four-way set associative and bounded (a pool of a hundred records rarely
// puts five in one set): a record pushed out is just read again. Per thread.
class RecordViewCache {
public:
    // The view of `rec`; valid until the next call.
    [[gnu::always_inline]] RecordView& view(const ServerRecord& rec) {
        refresh();
        return view_as_of_refresh(rec);
    }
    // Empties the cache if records_changed() was called since it was last
    // refreshed. A loop over one decision's records refreshes once, then
    // looks each up with view_as_of_refresh().
    [[gnu::always_inline]] void refresh() {
        const std::uint64_t generation = record_generation.load(std::memory_order_acquire);
        if (generation != generation_) [[unlikely]] forget(generation);
    }
    [[gnu::always_inline]] RecordView& view_as_of_refresh(const ServerRecord& rec) { return slot_of(rec).view; }
    // The same, for the record at `position` of a candidate list. Hosts
    // hand the same records in the same order decision after decision, so
    // the slot found for each position last time is tried first; a slot
    // now holding another record fails the same identity test as a way of
    // its set, and the lookup falls back to the set.
    [[gnu::always_inline]] RecordView& view_at(std::size_t position, const ServerRecord& rec) {
        if (position >= kHints) [[unlikely]] return slot_of(rec).view;
        Slot*& hint = hints_[position];
        if (hint != nullptr && holds(*hint, rec)) return hint->view;
        hint = &slot_of(rec);
        return hint->view;
    }

private:
    static constexpr int kSetBits = 8;
    static constexpr std::size_t kWays = 4;
    struct Slot {
        const boost::json::object* object = nullptr;
        std::weak_ptr<const boost::json::object> owner;
        RecordView view;
    };
    static std::size_t set_of(const void* p) noexcept {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >>
                                        (64 - kSetBits));
    }
    static bool holds(const Slot& slot, const ServerRecord& rec) noexcept {
        return slot.object == rec.get() && !slot.owner.owner_before(rec) && !rec.owner_before(slot.owner);
    }
    Slot& slot_of(const ServerRecord& rec) {
        const boost::json::object* object = rec.get();
        const std::size_t set = set_of(object);
        Slot* const ways = &slots_[set * kWays];
        Slot* victim = nullptr;
        for (std::size_t w = 0; w < kWays; ++w) {
            Slot& slot = ways[w];
            if (slot.object != object) continue;
            if (holds(slot, rec)) return slot;
            victim = &slot;  // another record, made where a freed one was
            break;
        }
        if (victim == nullptr) victim = &ways[next_[set]++ % kWays];
        RecordView fresh = view_of(*object);  // before the slot names the record, in case it throws
        victim->object = object;
        victim->owner = rec;
        victim->view = fresh;
        return *victim;
    }

    static constexpr std::size_t kHints = 256;
    // Never resized, so the hints' slot addresses stay valid.
    std::vector<Slot> slots_ = std::vector<Slot>(kWays << kSetBits);
    std::array<Slot*, kHints> hints_{};  // by candidate position
    std::vector<std::uint8_t> next_ = std::vector<std::uint8_t>(std::size_t{1} << kSetBits);  // round-robin victim
    std::uint64_t generation_ = 0;

    [[gnu::noinline]] void forget(std::uint64_t generation) {
        for (Slot& slot : slots_) slot = Slot{};
        hints_.fill(nullptr);
        generation_ = generation;
    }
};

RecordViewCache& record_views() {
    thread_local RecordViewCache cache;
    return cache;
}

}  // namespace

detail::RecordView& detail::record_view(const ServerRecord& rec) { return record_views().view(rec); }

void records_changed() noexcept { record_generation.fetch_add(1, std::memory_order_acq_rel); }

namespace {

// The count of `id` in `table` (0 when absent), tried first at position
// `at` as in detail/table_at.hpp. The lookup stays inline: a third of a
// pool's backends are often idle, absent from the table, and looked up on
// every decision.
std::int64_t count_of(const LoadBalancer::IdTable<std::int64_t>& table, std::int64_t id, std::uint32_t& at) noexcept {
    const auto& entries = table.values_container();
    if (at < entries.size() && entries[at].first == id) return entries[at].second;
    const auto it = table.find(id);
    if (it == table.end()) return 0;
    at = static_cast<std::uint32_t>(it - table.begin());
    return it->second;
}

// Sticky scores of keys seen more than once. A score is a pure function of
// the key and the server id, so a cached one can never be stale, whatever
// the host does to its records. A key's first request only leaves its hash
// in a small direct-mapped filter, so a stream of one-off keys pays a hash
// and no allocation; the second request caches the key's scores. Bounded by
// two generations: the current one takes new keys, keys found in the
// previous one move over, and when the current one holds kGenerationBytes
// it becomes the previous one (the older generation is dropped). What a
// generation holds counts the keys themselves, not only their scores: keys
// come from clients (a header, a body field), may be as long as a body, and
// a pool of one backend holds one score per key. So the cache stays under
// about twice kGenerationBytes, plus one key, whatever keys it is fed; that
// is some 8,000 returning sessions of a 16-backend pool per generation.
// Per thread, like the callers.
class StickyScoreCache {
public:
    using Scores = std::vector<std::pair<std::int64_t, std::uint64_t>>;  // (server id, score)

    // The score list of `key`, found or newly made empty (with room for
    // `expected` scores); nullptr the first time a key is seen (or when the
    // filter forgot it), which caches nothing.
    Scores* scores_for(std::string_view key, std::size_t expected) {
        const std::size_t hash = Hash{}(key);
        std::size_t& seen = seen_[hash & (kSeenSlots - 1)];
        if (seen != hash) {
            seen = hash;
            return nullptr;
        }
        if (auto it = current_.find(key); it != current_.end()) return &it->second;
        Scores moved;
        if (auto it = previous_.find(key); it != previous_.end()) moved = std::move(it->second);
        if (held_ >= kGenerationBytes) {
            previous_ = std::move(current_);
            current_.clear();
            held_ = 0;
        }
        held_ += key_bytes(key) + moved.size() * sizeof(Scores::value_type);
        moved.reserve(expected);
        return &current_.emplace(std::string(key), std::move(moved)).first->second;
    }
    // Counts `added` new scores towards the generation's bound.
    void note_added(std::size_t added) noexcept { held_ += added * sizeof(Scores::value_type); }

    // The bytes the cached keys and scores take, counted from the maps
    // themselves (the key text, the score lists' capacity and a node's
    // bookkeeping), for the tests of the bound.
    std::size_t footprint() const noexcept {
        std::size_t bytes = 0;
        for (const Map* map : {&current_, &previous_})
            for (const auto& [key, scores] : *map)
                bytes += key_bytes(key) + scores.capacity() * sizeof(Scores::value_type);
        return bytes;
    }

private:
    static constexpr std::size_t kGenerationBytes = std::size_t{3} << 20;
    static constexpr std::size_t kSeenSlots = std::size_t{1} << 14;
    // A cached key's own cost: its text and the map node, string and score
    // list that hold it.
    static std::size_t key_bytes(std::string_view key) noexcept { return key.size() + 128; }
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    using Map = std::unordered_map<std::string, Scores, Hash, std::equal_to<>>;
    Map current_;
    Map previous_;
    std::size_t held_ = 0;  // bytes, as key_bytes and the scores count them
    std::vector<std::size_t> seen_ = std::vector<std::size_t>(kSeenSlots);
};

StickyScoreCache& sticky_scores() {
    thread_local StickyScoreCache cache;
    return cache;
}

// The cached score of server `id` at position `hint` of the candidate list
// (the same list usually comes back in the same order), computed and cached
// when missing.
std::uint64_t cached_score(StickyScoreCache::Scores& scores, std::size_t hint, std::string_view key,
                           std::int64_t id, std::size_t& added) {
    if (hint < scores.size() && scores[hint].first == id) return scores[hint].second;
    for (const auto& [cached_id, score] : scores)
        if (cached_id == id) return score;
    const std::uint64_t score = sticky_score(key, id);
    scores.emplace_back(id, score);
    ++added;
    return score;
}

}  // namespace

std::size_t detail::sticky_cache_footprint() noexcept { return sticky_scores().footprint(); }

std::uint64_t sticky_score(std::string_view sticky_key, std::int64_t server_id) noexcept {
    boost::container::small_vector<char, 128> material(sticky_key.begin(), sticky_key.end());
    material.push_back('|');
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, server_id);
    material.insert(material.end(), digits, end);
    std::uint8_t out[8];
    blake2b(out, material.data(), nullptr, sizeof out, material.size(), 0);
    std::uint64_t score = 0;
    for (std::uint8_t b : out) score = (score << 8) | b;
    return score;
}

boost::asio::awaitable<ServerRecord> LoadBalancer::select(const PoolKey& pool_key,
                                                          std::span<const ServerRecord> candidates,
                                                          SelectOptions options) {
    // Everything but a contended round-robin lock is decided synchronously,
    // on the stack: the coroutine frame stays small enough for Asio's frame
    // recycling, so an uncontended select allocates nothing.
    Decision d = decide(pool_key, candidates, options);
    if (d.winner != nullptr) co_return *d.winner;
    if (d.lock_wait.empty()) co_return nullptr;
    ServerRecord winner = co_await wrr_pick(pool_key, d.lock_wait);
    record_dispatch(pool_key, *winner);
    co_return winner;
}

std::optional<ServerRecord> LoadBalancer::select_now(const PoolKey& pool_key,
                                                     std::span<const ServerRecord> candidates,
                                                     const SelectOptions& options) {
    Decision d = decide(pool_key, candidates, options);
    if (d.winner != nullptr) return *d.winner;
    if (d.lock_wait.empty()) return ServerRecord{};
    return std::nullopt;  // nothing was recorded: the pick waits for the lock
}

LoadBalancer::Decision LoadBalancer::decide(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                            const SelectOptions& options) {
    Decision d;
    if (candidates.empty()) return d;

    if (options.force_server_id) {
        for (const ServerRecord& rec : candidates) {
            if (id_matches(*rec, *options.force_server_id)) {
                record_dispatch(pool_key, *rec);
                d.winner = &rec;
                return d;
            }
        }
        return d;
    }

    // The clock is read once: the decision takes no time that any result
    // could tell apart, and the dispatch is stamped with the same instant.
    const double now = monotonic();
    InlineVector<Candidate> eligible;
    // Nothing from here to the dispatch record changes the window table, so
    // a window found while gathering is still the pool's.
    boost::circular_buffer<double>* window = nullptr;
    if (mode_ == Mode::hybrid || !gather_plain(pool_key, candidates, options.sin_binned, now, eligible, window)) {
        window = nullptr;
        eligible.clear();
        gather_checked(pool_key, candidates, options.sin_binned, now, eligible);
    }
    if (eligible.empty()) return d;

    const Algorithm algo = algorithm_of(options.algorithm);
    const Candidate* winner = nullptr;
    if (algo == Algorithm::sticky && !options.sticky_key.empty()) {
        winner = sticky_lookup(eligible, options.sticky_key);
        if (winner == nullptr) winner = &least_connections_pick(eligible);
    } else if (algo == Algorithm::least_connections) {
        winner = &least_connections_pick(eligible);
    } else if (AsyncLock::Guard guard = lock_for(pool_key).try_lock(); guard.owns_lock()) {
        // The pick's last-access stamp is the dispatch's, written just below.
        winner = &wrr_pick_locked(pool_key, eligible);
    } else {
        // Another pick holds the pool's lock: the caller waits for it.
        d.lock_wait.assign(eligible.begin(), eligible.end());
        return d;
    }
    d.winner = winner->rec;
    // The winner's view (a hit at its position: gathering just read it)
    // remembers where its id's dispatch entries were found.
    RecordView& v = record_views().view_at(static_cast<std::size_t>(d.winner - candidates.data()), *d.winner);
    record_dispatch(pool_key, winner->id, now, {&v.dispatch_at, &v.stamp_at, window});
    return d;
}

// The eligible candidates when every record is plain and the mode is not
// "hybrid" (where the cap depends on the pool): one pass, each record's
// values from the view cache, each in-flight count read once. Returns false,
// leaving `eligible` to be cleared, at the first record that is not plain.
// The result is the checked road's: the drain rule keeps the positive
// weights (all candidates when none is), and the filters that follow it
// depend on the record alone, so they can run in the same pass.
template <class Out>
bool LoadBalancer::gather_plain(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                std::span<const std::int64_t> sin_binned, double now, Out& eligible,
                                boost::circular_buffer<double>*& window) {
    RecordViewCache& views = record_views();
    const bool superfast = mode_ == Mode::superfast;
    const std::int64_t clamp = SUPERFAST_PER_SERVER_CAP;
    // The mode's cap of the last configured cap seen: a pool's records
    // mostly share one.
    std::int64_t configured = 0;
    std::int64_t cap = superfast ? superfast_cap(0, clamp) : 0;
    bool any_positive = false;
    bool unbinned[2] = {false, false};  // an effective candidate passed the sin-bin: [non-positive, positive]
    // Written in place (at most one entry per candidate), sized at the end.
    eligible.resize(candidates.size(), boost::container::default_init);
    Candidate* const first = eligible.data();
    Candidate* out = first;
    views.refresh();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const ServerRecord& rec = candidates[i];
        RecordView& v = views.view_at(i, rec);
        if (!v.plain) return false;
        if (v.positive && !any_positive) {
            out = first;  // drained ones kept so far are not effective after all
            any_positive = true;
        }
        if (!v.positive && any_positive) continue;
        if (!sin_binned.empty() && detail::contains(sin_binned, v.id)) continue;
        unbinned[v.positive] = true;
        if (v.cap != configured) {
            configured = v.cap;
            cap = superfast ? superfast_cap(configured, clamp) : configured;
        }
        const std::int64_t inflight = count_of(this->inflight, v.id, v.count_at);
        if (cap <= 0 || inflight < cap) *out++ = {&rec, v.id, v.fields.weight, inflight, v.weight};
    }
    eligible.resize(static_cast<std::size_t>(out - first));
    // Every gate test trims the pool's dispatch window; outside "hybrid"
    // once per decision is the same, and the rate itself is not needed.
    if (unbinned[any_positive]) window = trim_dispatch_window(pool_key, now);
    return true;
}

// The eligible candidates by the rules in their order, for any record and
// mode: the drain rule over every record (a malformed weight raises here),
// then the ids and counts of the effective ones, then the sin-bin and the
// capacity gate.
template <class Out>
void LoadBalancer::gather_checked(const PoolKey& pool_key, std::span<const ServerRecord> candidates,
                                  std::span<const std::int64_t> sin_binned, double now, Out& eligible) {
    struct Scanned {
        Candidate c;
        const boost::json::value* id;
        const boost::json::value* max_concurrency;
    };
    InlineVector<Scanned> effective;
    detail::keep_effective(
        candidates, effective,
        [](const ServerRecord& rec) {
            const RecordFields& f = record_views().view(rec).fields;
            return Scanned{{&rec, 0, f.weight, 0, Candidate::kUnconverted}, f.id, f.max_concurrency};
        },
        [](const Scanned& s) { return s.c.weight; });

    // Nothing suspends, records a dispatch or changes a count from here to
    // the pick, so each in-flight count is read once and the pool in-flight
    // sum is computed once. Ids are read only for the effective records.
    std::int64_t in_pool = 0;
    for (Scanned& s : effective) {
        s.c.id = id_value(s.id);
        s.c.inflight = get_inflight(s.c.id);
        in_pool += s.c.inflight;
    }

    // The rate only decides anything in "hybrid", where it is read for every
    // test; elsewhere it is read once, for the window trimming that every
    // gate call does.
    const bool hybrid = mode_ == Mode::hybrid;
    std::optional<double> rate;
    for (const Scanned& s : effective) {
        const Candidate& c = s.c;
        if (detail::contains(sin_binned, c.id)) continue;
        if (hybrid || !rate) rate = recent_dispatch_rate(&pool_key, now);
        if (hybrid) {
            if (gate_allows(c.inflight, s.max_concurrency, in_pool, *rate, &pool_key)) eligible.push_back(c);
            continue;
        }
        // Outside "hybrid" the cap depends on the record alone: the gate's
        // rule for the three other modes, without its per-call dispatch.
        std::int64_t cap = saturating_int_or_zero(s.max_concurrency);
        if (mode_ == Mode::superfast) cap = superfast_cap(cap);
        if (cap <= 0 || c.inflight < cap) eligible.push_back(c);
    }
}

boost::asio::awaitable<ServerRecord> LoadBalancer::wrr_pick(const PoolKey& pool_key, Candidates eligible) {
    AsyncLock& lock = lock_for(pool_key);
    AsyncLock::Guard guard = lock.try_lock();
    if (!guard.owns_lock()) guard = co_await lock.lock();
    const ServerRecord& winner = *wrr_pick_locked(pool_key, eligible).rec;
    detail::entry_at(pool_last_access_, pool_key, pool_at_.last_access) = monotonic();
    co_return winner;
}

const LoadBalancer::Candidate& LoadBalancer::wrr_pick_locked(const PoolKey& pool_key, Candidates eligible) {
    auto& state = detail::entry_at(wrr_, pool_key, pool_at_.wrr);
    if (const Candidate* winner = wrr_pick_in_step(state, eligible)) return *winner;

    // Positions of the entries touched by this pick, to find in one pass the
    // servers that were not eligible (and so lose their current weight).
    boost::container::small_vector<bool, 2 * kInlineCandidates> touched(state.size() + eligible.size(), false);
    InlineVector<std::size_t> positions;
    std::size_t distinct = 0;
    double total_weight = 0.0;
    for (const Candidate& c : eligible) {
        const double w = c.weight_value();
        total_weight += w;
        auto [it, inserted] = state.try_emplace(c.id, 0.0);
        it.value() += w;
        auto pos = static_cast<std::size_t>(it - state.begin());
        if (!touched[pos]) {
            touched[pos] = true;
            ++distinct;
        }
        positions.push_back(pos);
    }
    if (positions.empty()) throw std::logic_error("round-robin pick over no servers");

    auto weight_at = [&](std::size_t i) -> double& {
        return (state.begin() + static_cast<std::ptrdiff_t>(positions[i])).value();
    };
    std::size_t best = 0;
    for (std::size_t i = 1; i < positions.size(); ++i) {
        const double wi = weight_at(i), wb = weight_at(best);
        if (wi > wb || (wi == wb && eligible[i].id < eligible[best].id)) best = i;
    }
    weight_at(best) -= total_weight;

    if (distinct != state.size()) {
        for (std::size_t i = state.size(); i-- > 0;)
            if (!touched[i]) state.erase(state.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return eligible[best];
}

// The pick in the steady state: the pool's weights list exactly the
// eligible servers in their order (the same candidates come back call after
// call), so each candidate's entry is at its own position and no lookup is
// needed. Same arithmetic, same order of additions, same tie-break as the
// general pick. Returns nullptr, having changed nothing, when the weights
// are not in step.
const LoadBalancer::Candidate* LoadBalancer::wrr_pick_in_step(IdTable<double>& state, Candidates eligible) {
    if (state.size() != eligible.size() || eligible.empty()) return nullptr;
    const auto& entries = state.values_container();
    for (std::size_t i = 0; i < eligible.size(); ++i)
        if (entries[i].first != eligible[i].id) return nullptr;
    // Each entry is raised once, so its final weight is known as soon as it
    // is raised and the best one can be tracked in the same pass. The first
    // candidate is the best so far whatever its weight.
    auto it = state.begin();
    double total_weight = 0.0;
    total_weight += eligible[0].weight_value();  // from +0.0, as the general pick sums
    double best_weight = it.value() += eligible[0].weight_value();
    std::size_t best = 0;
    std::int64_t best_id = eligible[0].id;
    ++it;
    for (std::size_t i = 1; i < eligible.size(); ++i, ++it) {
        const Candidate& c = eligible[i];
        const double w = c.weight_value();
        total_weight += w;
        const double current = it.value() += w;
        if (current > best_weight || (current == best_weight && c.id < best_id)) {
            best = i;
            best_weight = current;
            best_id = c.id;
        }
    }
    (state.begin() + static_cast<std::ptrdiff_t>(best)).value() -= total_weight;
    return &eligible[best];
}

const LoadBalancer::Candidate& LoadBalancer::least_connections_pick(Candidates eligible) const {
    // In-flight count per unit of weight; a server without positive weight
    // comes last. The first candidate is the best so far whatever its ratio.
    const auto ratio_of = [](const Candidate& c) {
        const double w = c.weight_value();
        return w > 0.0 ? static_cast<double>(c.inflight) / w : std::numeric_limits<double>::infinity();
    };
    const Candidate* best = &eligible[0];
    double best_ratio = ratio_of(*best);
    for (std::size_t i = 1; i < eligible.size(); ++i) {
        const Candidate& c = eligible[i];
        const double ratio = ratio_of(c);
        const bool better = ratio < best_ratio || (ratio == best_ratio && (c.inflight < best->inflight ||
                                                                         (c.inflight == best->inflight && c.id < best->id)));
        if (better) {
            best = &c;
            best_ratio = ratio;
        }
    }
    return *best;
}

const LoadBalancer::Candidate* LoadBalancer::sticky_lookup(Candidates eligible, std::string_view sticky_key) const {
    StickyScoreCache& cache = sticky_scores();
    StickyScoreCache::Scores* scores = cache.scores_for(sticky_key, eligible.size());
    std::size_t added = 0;
    const Candidate* best = nullptr;
    std::uint64_t best_score = 0;
    for (std::size_t i = 0; i < eligible.size(); ++i) {
        const std::uint64_t score = scores != nullptr ? cached_score(*scores, i, sticky_key, eligible[i].id, added)
                                                      : sticky_score(sticky_key, eligible[i].id);
        if (best == nullptr || score > best_score) {
            best = &eligible[i];
            best_score = score;
        }
    }
    cache.note_added(added);
    return best;
}

std::vector<ServerRecord> LoadBalancer::filter_by_fit(std::span<const ServerRecord> candidates,
                                                      std::int64_t estimated_tokens) const {
    struct Keyed {
        int unlimited;
        std::int64_t limit;
        std::int64_t id;
        const ServerRecord* rec;
    };
    InlineVector<Keyed> fit;
    for (const ServerRecord& rec : candidates) {
        // The fields come from the view cache (the record is not searched
        // again); the rules run on them in their order, so a bad value
        // raises the same error at the same record.
        const detail::RecordView& v = detail::record_view(rec);
        const boost::json::value* const max_input = v.fields.max_input_tokens;
        if (estimated_tokens > 0) {
            const auto vs_zero = compare_or_zero(max_input, std::int64_t{0});
            const bool unlimited = vs_zero == 0;
            if (!unlimited && !(compare_or_zero(max_input, estimated_tokens) >= 0)) continue;
        }
        const std::int64_t limit = int_or_zero(max_input);
        fit.push_back({limit == 0 ? 1 : 0, limit, v.plain ? v.id : id_value(v.fields.id), &rec});
    }
    const auto before = [](const Keyed& a, const Keyed& b) {
        if (a.unlimited != b.unlimited) return a.unlimited < b.unlimited;
        if (a.limit != b.limit) return a.limit < b.limit;
        return a.id < b.id;
    };
    // A pool's records usually come in this order already; the stable sort
    // would take a scratch buffer from the heap to find that out.
    if (!std::is_sorted(fit.begin(), fit.end(), before)) std::stable_sort(fit.begin(), fit.end(), before);
    std::vector<ServerRecord> out;
    out.reserve(fit.size());
    for (const Keyed& k : fit) out.push_back(*k.rec);
    return out;
}

AsyncLock& LoadBalancer::lock_for(const PoolKey& pool_key) {
    std::unique_ptr<AsyncLock>& slot = detail::entry_at(locks_, pool_key, pool_at_.lock);
    if (!slot) slot = std::make_unique<AsyncLock>();
    return *slot;
}

void LoadBalancer::evict_stale_pools() {
    const double cutoff = monotonic() - POOL_LRU_TTL_SEC;
    std::vector<PoolKey> stale;
    for (const auto& [key, last] : pool_last_access_)
        if (last < cutoff) stale.push_back(key);
    for (const PoolKey& key : stale) {
        wrr_.erase(key);
        pool_last_access_.erase(key);
        pool_dispatch_windows_.erase(key);
        pool_hot_state_.erase(key);
    }
    if (!stale.empty()) {
        logger()->debug(fmt::sprintf("Evicted %d stale LB pool entries (>%ds idle)", stale.size(),
                                     truncate_to_int(POOL_LRU_TTL_SEC)));
    }
}

}  // namespace quillmar::lb
