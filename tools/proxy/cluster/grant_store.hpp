// Capacity grants in Redis: each backend's cap shared by the proxy replicas.
//
// One hash per backend ("<prefix><server id>"), one field per replica:
// "grant held wanted cap expires_ms", and the field "" with the end of the
// rebuild window (ms). Grants change only inside two Lua
// scripts, which Redis runs atomically, with expiry judged by the server's
// own TIME so that replica clocks never matter.
//
// A replica's reservation is max(grant, held): `held` is what the replica
// reported it may still be using (its grant in force and its in-flight
// count). The renew script keeps the sum of the live reservations of a
// backend at or below its cap; a grant that is lowered stays reserved until
// the replica reports, on a later renewal, that it no longer uses it.
#pragma once

#include "proxy/cluster/redis_client.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace quillmar::proxy {

// What a replica asks for one backend.
struct GrantAsk {
    std::int64_t server_id = 0;
    std::int64_t cap = 0;     // its configured cap (at least 1)
    std::int64_t wanted = 0;  // the share it would like, 0..cap
    std::int64_t held = 0;    // what it may be using now: max(grant in force, in flight)
    bool known = false;       // it has an entry from an earlier renewal, unless that expired
};

// What it gets back.
struct Grant {
    std::int64_t grant = 0;     // its new share, 0..cap
    std::int64_t replicas = 1;  // live replicas holding an entry, itself included
    std::int64_t cap = 0;       // the cap in force: the smallest any live replica reported
};

class GrantStore {
public:
    GrantStore(RedisClient& redis, std::string key_prefix);

    // Renews every backend in one script call: drops expired replicas,
    // records this replica's ask with an expiry of now + ttl (server time)
    // and returns its grants in the order of `asks`. One round trip (two
    // after a Redis restart, which forgets loaded scripts). `timeout_sec`
    // bounds the whole call, every round trip in it. Throws RedisError
    // when Redis fails, runs out of time or answers something unusable.
    boost::asio::awaitable<std::vector<Grant>> renew(const std::string& replica, double ttl_sec,
                                                     const std::vector<GrantAsk>& asks, double timeout_sec);
    // Removes this replica's entries for `server_ids`. Throws RedisError.
    boost::asio::awaitable<void> release(const std::string& replica, const std::vector<std::int64_t>& server_ids,
                                         double timeout_sec);

    std::string key(std::int64_t server_id) const { return prefix_ + std::to_string(server_id); }

private:
    boost::asio::awaitable<RedisReply> run_script(int which, std::vector<std::string> keys_and_args,
                                                  std::size_t key_count, double timeout_sec);

    RedisClient& redis_;
    std::string prefix_;
    std::string sha_[2];  // SCRIPT LOAD digests, empty until loaded
};

}  // namespace quillmar::proxy
