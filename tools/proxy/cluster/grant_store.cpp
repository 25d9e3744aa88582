#include "proxy/cluster/grant_store.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace quillmar::proxy {

using boost::asio::awaitable;

namespace {

// KEYS: one hash per backend. ARGV: replica, ttl_ms, then per key its cap,
// wanted, held and known. Returns per key {grant, live replicas, cap in force}.
//
// Per backend: expired entries go; the cap in force is the smallest any live
// replica reports (a lowered cap bites at once, a raised one once every
// replica has it). The caller may take what the others' reservations leave
// free, up to what it wants, but no more than the even share (cap / live
// replicas, rounded down, at least 1) while another replica is starved
// (holds less than min(wanted, even share)). When the caller is the starved
// one, every other grant above the even share is cut to it: those replicas
// see the cut on their next renewal, and their reservations shrink only once
// they report they no longer use the difference, so the cap holds through
// the handover.
//
// A backend whose hash is missing (new, or Redis lost its data) starts a
// rebuild window of one TTL, kept in the field "": within it nobody gets
// more than it already holds, because replicas still running on grants the
// lost state recorded have not all reported yet; all of them have by the
// window's end (or their grants have expired). So does a replica that
// lost its entry ("known" 1: it renewed before, and its entry is gone or
// expired): Redis was out of its reach for longer than entries live, as it
// may have been for the others, whose entries may have expired while they
// still serve on their grants or fallback shares.
constexpr const char* kRenewScript = R"lua(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local me = ARGV[1]
local ttl = tonumber(ARGV[2])
if ttl == nil or ttl < 1 or #ARGV ~= 2 + 4 * #KEYS then return redis.error_reply('bad arguments') end
local function entry(g, h, w, c, e) return string.format('%d %d %d %d %d', g, h, w, c, e) end
local out = {}
for i, key in ipairs(KEYS) do
  local a = 2 + (i - 1) * 4
  local cap, wanted, held = tonumber(ARGV[a + 1]), tonumber(ARGV[a + 2]), tonumber(ARGV[a + 3])
  local known = ARGV[a + 4] == '1'
  if cap == nil or wanted == nil or held == nil or cap < 1 or wanted < 0 or held < 0 then
    return redis.error_reply('bad arguments for ' .. key)
  end
  wanted = math.min(wanted, cap)
  local flat = redis.call('HGETALL', key)
  local others = {}
  local incap = cap
  local warm_until, mine_live = nil, false
  for j = 1, #flat, 2 do
    if flat[j] == '' then
      warm_until = tonumber(flat[j + 1])
    elseif flat[j] == me then
      local e = string.match(flat[j + 1], ' (%d+)$')
      mine_live = e ~= nil and tonumber(e) > now
    else
      local g, h, w, c, e = string.match(flat[j + 1], '^(%d+) (%d+) (%d+) (%d+) (%d+)$')
      if g == nil or tonumber(e) <= now then
        redis.call('HDEL', key, flat[j])
      else
        local o = {id = flat[j], g = tonumber(g), h = tonumber(h), w = tonumber(w), c = tonumber(c), e = tonumber(e)}
        others[#others + 1] = o
        incap = math.min(incap, o.c)
      end
    end
  end
  if warm_until == nil or (known and not mine_live and warm_until < now + ttl) then
    warm_until = now + ttl
    redis.call('HSET', key, '', warm_until)
  end
  local share = math.max(1, math.floor(incap / (#others + 1)))
  local reserved, starved = 0, false
  for _, o in ipairs(others) do
    reserved = reserved + math.max(o.g, o.h)
    if o.g < math.min(o.w, share) then starved = true end
  end
  local room = math.max(0, incap - reserved)
  if starved then room = math.min(room, share) end
  local grant = math.min(wanted, room)
  if now < warm_until then grant = math.min(grant, held) end
  if grant < math.min(wanted, share) then
    for _, o in ipairs(others) do
      -- It may use its old grant until it renews: that stays reserved.
      if o.g > share then redis.call('HSET', key, o.id, entry(share, math.max(o.h, o.g), o.w, o.c, o.e)) end
    end
  end
  redis.call('HSET', key, me, entry(grant, held, wanted, cap, now + ttl))
  if redis.call('PTTL', key) < 2 * ttl then redis.call('PEXPIRE', key, 2 * ttl) end
  out[i] = {grant, #others + 1, incap}
end
return out
)lua";

// KEYS: backends; ARGV[1]: replica. Drops its entries.
constexpr const char* kReleaseScript = R"lua(
for _, key in ipairs(KEYS) do redis.call('HDEL', key, ARGV[1]) end
return #KEYS
)lua";

constexpr const char* kScripts[2] = {kRenewScript, kReleaseScript};

std::int64_t integer_at(const RedisReply& r, std::size_t i) {
    if (r.type != RedisReply::Type::array || r.elements.size() <= i ||
        r.elements[i].type != RedisReply::Type::integer)
        throw RedisError("unexpected reply to the grant script");
    return r.elements[i].integer;
}

}  // namespace

GrantStore::GrantStore(RedisClient& redis, std::string key_prefix) : redis_(redis), prefix_(std::move(key_prefix)) {}

awaitable<RedisReply> GrantStore::run_script(int which, std::vector<std::string> keys_and_args, std::size_t key_count,
                                             double timeout_sec) {
    // One budget for every round trip: a renewal that outlasts its time-out
    // would keep grants in force past the deadline the caller set for them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_sec);
    auto left = [&deadline] {
        const double sec = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        if (sec <= 0) throw RedisError("Redis took longer than the time-out");
        return sec;
    };
    // EVALSHA first; a Redis that does not know the script (never loaded,
    // or restarted since) gets it loaded, then the call again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sha_[which].empty()) {
            std::vector<std::string> load{"SCRIPT", "LOAD", kScripts[which]};  // not braced in the co_await (g++ 12)
            RedisReply loaded = co_await redis_.call(std::move(load), left());
            if (loaded.type != RedisReply::Type::string || loaded.str.empty())
                throw RedisError("SCRIPT LOAD failed: " + loaded.str);
            sha_[which] = loaded.str;
        }
        std::vector<std::string> cmd{"EVALSHA", sha_[which], std::to_string(key_count)};
        cmd.insert(cmd.end(), keys_and_args.begin(), keys_and_args.end());
        RedisReply reply = co_await redis_.call(std::move(cmd), left());
        if (reply.type == RedisReply::Type::error && reply.str.rfind("NOSCRIPT", 0) == 0) {
            sha_[which].clear();
            continue;
        }
        if (reply.type == RedisReply::Type::error) throw RedisError("grant script failed: " + reply.str);
        co_return reply;
    }
    throw RedisError("Redis keeps forgetting the grant script");
}

awaitable<std::vector<Grant>> GrantStore::renew(const std::string& replica, double ttl_sec,
                                                const std::vector<GrantAsk>& asks, double timeout_sec) {
    std::vector<std::string> params;
    for (const auto& a : asks) params.push_back(key(a.server_id));
    params.push_back(replica);
    params.push_back(std::to_string(std::max<std::int64_t>(1, std::llround(ttl_sec * 1000.0))));
    // Lua's numbers are doubles: a cap beyond 2^53 (in effect no cap)
    // would come back rounded, or print as a negative number in the entry.
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    for (const auto& a : asks) {
        const std::int64_t cap = std::min(a.cap, kExact);
        params.push_back(std::to_string(cap));
        params.push_back(std::to_string(std::clamp<std::int64_t>(a.wanted, 0, cap)));
        params.push_back(std::to_string(std::clamp<std::int64_t>(a.held, 0, kExact)));
        params.push_back(a.known ? "1" : "0");
    }
    RedisReply reply = co_await run_script(0, std::move(params), asks.size(), timeout_sec);
    if (reply.type != RedisReply::Type::array || reply.elements.size() != asks.size())
        throw RedisError("unexpected reply to the grant script");
    std::vector<Grant> out;
    for (std::size_t i = 0; i < asks.size(); ++i) {
        const RedisReply& r = reply.elements[i];
        // Checked, not trusted: a grant is never above what was asked for.
        Grant g{integer_at(r, 0), integer_at(r, 1), integer_at(r, 2)};
        g.grant = std::clamp<std::int64_t>(g.grant, 0, asks[i].cap);
        g.replicas = std::max<std::int64_t>(1, g.replicas);
        g.cap = std::clamp<std::int64_t>(g.cap, 1, asks[i].cap);
        out.push_back(g);
    }
    co_return out;
}

awaitable<void> GrantStore::release(const std::string& replica, const std::vector<std::int64_t>& server_ids,
                                    double timeout_sec) {
    if (server_ids.empty()) co_return;
    std::vector<std::string> params;
    for (std::int64_t id : server_ids) params.push_back(key(id));
    params.push_back(replica);
    co_await run_script(1, std::move(params), server_ids.size(), timeout_sec);
}

}  // namespace quillmar::proxy
