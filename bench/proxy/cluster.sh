#!/usr/bin/env bash
# Cluster mode measured with wrk on loopback: what it adds to the request
# path, and how much of a shared cap three replicas use under skewed load.
#
#   bench/proxy/cluster.sh [BUILD_DIR] [SECONDS]
#
# 1. Latency: one replica without a cluster section against one with it
#    (Redis on loopback), caps far above the load, one connection: p50 and
#    p99, medians of three alternating rounds.
# 2. Skewed load: one replica holding the whole cap (two backends of cap 8,
#    20 ms per request) against three replicas sharing it, with 40, 6 and 2
#    connections on them; completed requests per second, the second as a
#    share of the first.
# Installs wrk with apt-get when it is missing; BUILD_DIR defaults to
# build/release. Everything it starts is stopped when it exits.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
duration=${2:-10}
command -v redis-server >/dev/null || { echo "redis-server is missing (scripts/install-deps.sh)" >&2; exit 2; }
# shellcheck source=common.sh
source "$here/common.sh" "$build" wrk

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work" --save "" --appendonly no \
  > "$work/redis.err" 2>&1 &
pids+=($!)
wait_until redis port_open "$redis_port"

start fast "$mock_bin" --port 0 --name fast; port_fast=$port
start slow_a "$mock_bin" --port 0 --name a --ttft-ms 20; port_a=$port
start slow_b "$mock_bin" --port 0 --name b --ttft-ms 20; port_b=$port

# config NAME REPLICA_ID(or "") CAP BACKEND_PORTS...
config() {
  local name=$1 replica=$2 cap=$3; shift 3
  local servers="" id=1 cluster=""
  for p in "$@"; do
    servers+="${servers:+,}{\"id\": $id, \"url\": \"http://127.0.0.1:$p\", \"max_concurrency\": $cap}"
    id=$((id + 1))
  done
  [[ -z $replica ]] || cluster="\"cluster\": {\"redis_url\": \"redis://127.0.0.1:$redis_port\", \"replica_id\": \"$replica\", \"grant_ttl_sec\": 2, \"renew_interval_sec\": 0.2},"
  cat > "$work/$name.json" <<JSON
{"listen": {"address": "127.0.0.1", "port": 0}, "admin": {"address": "127.0.0.1", "port": 0},
 "routing_mode": "max_concurrency", "queue": {"enabled": true, "ttl_sec": 30, "max_depth_multiplier": 100},
 "health_check": {"interval_sec": 0}, "access_log": "off", "upstream_pool_size": 128, $cluster
 "models": {"bench": {"algorithm": "least_connections", "servers": [$servers]}}}
JSON
}

cat > "$work/post.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"model":"bench","max_tokens":4,"messages":[{"role":"user","content":"Hello, how are you today?"}]}'
LUA

# wrk prints 512.00us, 1.23ms, 2.00s
to_us() {
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else print n * 1000000 }'
}
# wrk_run FILE PORT CONNECTIONS SECONDS: the output goes to FILE.
wrk_run() {
  wrk -t1 -c"$3" -d"$4s" --latency -s "$work/post.lua" "http://127.0.0.1:$2/v1/chat/completions" > "$1"
}
# Completed (2xx) requests per second of a wrk output.
ok_rps() {
  awk -v d="$duration" '/requests in/ {n = $1} /Non-2xx/ {bad = $NF} END {printf "%.1f", (n - bad) / d}' "$1"
}

# ---- 1. latency -------------------------------------------------------------
config single "" 64 "$port_fast"
config clustered lat 64 "$port_fast"
start single "$proxy_bin" --config "$work/single.json" --log-level warn; port_single=$port
start clustered "$proxy_bin" --config "$work/clustered.json" --log-level warn; port_clustered=$port
sleep 3  # the cluster's rebuild window (one TTL) before the first grant
wrk_run "$work/warm.wrk" "$port_single" 1 1
wrk_run "$work/warm.wrk" "$port_clustered" 1 1
# Three alternating rounds, so that a neighbour's load on the machine hits
# both alike; the medians are reported.
p50() { to_us "$(awk '$1=="50%" {print $2}' "$1")"; }
p99() { to_us "$(awk '$1=="99%" {print $2}' "$1")"; }
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
s50s=(); c50s=(); s99s=(); c99s=()
for round in 1 2 3; do
  wrk_run "$work/single$round.wrk" "$port_single" 1 "$duration"
  wrk_run "$work/clustered$round.wrk" "$port_clustered" 1 "$duration"
  s50s+=("$(p50 "$work/single$round.wrk")"); c50s+=("$(p50 "$work/clustered$round.wrk")")
  s99s+=("$(p99 "$work/single$round.wrk")"); c99s+=("$(p99 "$work/clustered$round.wrk")")
done
s50=$(median "${s50s[@]}"); c50=$(median "${c50s[@]}")
s99=$(median "${s99s[@]}"); c99=$(median "${c99s[@]}")

# ---- 2. skewed load -----------------------------------------------------------
config whole "" 8 "$port_a" "$port_b"
start whole "$proxy_bin" --config "$work/whole.json" --log-level warn; port_whole=$port
wrk_run "$work/whole.wrk" "$port_whole" 48 "$duration"
kill "${pids[-1]}"
ports=(); admin_ports=()
for r in r1 r2 r3; do
  config "$r" "$r" 8 "$port_a" "$port_b"
  start "$r" "$proxy_bin" --config "$work/$r.json" --log-level warn; ports+=("$port"); admin_ports+=("$admin_port")
done
sleep 3  # rebuild window
conns=(40 6 2)
runs=()
for i in 0 1 2; do
  wrk_run "$work/skew$i.wrk" "${ports[$i]}" "${conns[$i]}" "$duration" &
  runs+=($!)
done
# Halfway through: each replica's grants and in-flight counts, for the record.
sleep "$(awk -v d="$duration" 'BEGIN {print d / 2}')"
for i in 0 1 2; do
  curl -s "http://127.0.0.1:${admin_ports[$i]}/lb/snapshot" | python3 -c '
import json, sys
s = json.load(sys.stdin)
print("  replica", sys.argv[1], "grants", [b["grant"] for b in s["cluster"]["backends"]],
      "in flight", s["inflight"], "waiting", s["queue_total_waiters"])' "r$((i + 1))" > "$work/grants$i.txt"
done
for p in "${runs[@]}"; do wait "$p"; done
whole=$(ok_rps "$work/whole.wrk")
skew=0
for i in 0 1 2; do skew=$(awk -v a="$skew" -v b="$(ok_rps "$work/skew$i.wrk")" 'BEGIN {print a + b}'); done

echo
echo "small non-streaming chat completions over loopback, wrk -t1, ${duration}s per run, $(nproc) cores"
awk -v s50="$s50" -v c50="$c50" -v s99="$s99" -v c99="$c99" 'BEGIN {
  printf "latency, one connection, medians of 3 rounds:  p50 %7.0f us single, %7.0f us cluster (x%.2f); p99 %7.0f us, %7.0f us (x%.2f)\n",
         s50, c50, c50 / s50, s99, c99, c99 / s99 }'
awk -v w="$whole" -v k="$skew" 'BEGIN {
  printf "skewed load (40/6/2 connections, cap 2 x 8, 20 ms each): one replica %.1f req/s, three replicas %.1f req/s (%.0f%%)\n",
         w, k, 100 * k / w }'
cat "$work"/grants*.txt
