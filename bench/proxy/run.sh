#!/usr/bin/env bash
# Throughput, latency and CPU time per request of quillmar-proxy next to
# HAProxy and the backends directly, with wrk on loopback: small
# non-streaming chat requests, then the same with a 100 KB prompt (a pasted
# document), which the proxy reads and estimates and HAProxy passes on
# unread.
#
#   bench/proxy/run.sh [BUILD_DIR] [SECONDS] [CONNECTIONS]
#
# BUILD_DIR defaults to build/release (quillmar-proxy and
# quillmar-mock-backend must be built there). Installs haproxy and wrk with
# apt-get when they are missing. Prints one table per body; everything it
# starts is stopped when it exits.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
duration=${2:-10}
connections=${3:-32}
maxconn=64  # per backend: above the connection count, so nothing queues
# shellcheck source=common.sh
source "$here/common.sh" "$build" haproxy wrk
tick_us=$((1000000 / $(getconf CLK_TCK)))

start mock_a "$mock_bin" --port 0 --name a; port_a=$port; pid_direct=$pid
start mock_b "$mock_bin" --port 0 --name b; port_b=$port

cat > "$work/proxy.json" <<JSON
{
  "listen": {"address": "127.0.0.1", "port": 0},
  "admin": {"enabled": false},
  "routing_mode": "max_concurrency",
  "queue": {"enabled": true, "ttl_sec": 30},
  "health_check": {"interval_sec": 0},
  "access_log": "off",
  "upstream_pool_size": 128,
  "models": {"bench": {"algorithm": "least_connections", "servers": [
    {"id": 1, "url": "http://127.0.0.1:$port_a", "max_concurrency": $maxconn},
    {"id": 2, "url": "http://127.0.0.1:$port_b", "max_concurrency": $maxconn}]}}
}
JSON
start proxy "$proxy_bin" --config "$work/proxy.json" --log-level warn; port_quillmar=$port; pid_quillmar=$pid

port_haproxy=$(free_port)
sed -e "s/@PORT@/$port_haproxy/" -e "s/@BACKEND_A@/$port_a/" -e "s/@BACKEND_B@/$port_b/" \
    -e "s/@MAXCONN@/$maxconn/" "$here/haproxy.cfg.in" > "$work/haproxy.cfg"
haproxy -f "$work/haproxy.cfg" > "$work/haproxy.err" 2>&1 &
pid_haproxy=$!
pids+=("$pid_haproxy")
ready=
for _ in $(seq 1 500); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port_haproxy") 2>/dev/null; then ready=1; break; fi
  sleep 0.01
done
[[ -n $ready ]] || { echo "haproxy did not start:" >&2; cat "$work/haproxy.err" >&2; exit 1; }

# One wrk script per body: a short chat turn, and a 100 KB document.
lua() {
  cat > "$work/$1.lua" <<LUA
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
local content = $2
wrk.body = '{"model":"bench","max_tokens":4,"messages":[{"role":"user","content":"' .. content .. '"}]}'
LUA
}
lua small '"Hello, how are you today?"'
lua large 'string.rep("The quick brown fox jumps over the lazy dog. ", 2300)'

# wrk prints 512.00us, 1.23ms, 2.00s
to_us() {
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else print n * 1000000 }'
}

# run NAME PORT CONNECTIONS BODY PID -> "rps p50_us p99_us cpu_us_per_request"
run() {
  local out before after
  # A short warm-up fills the connection pools on both proxies.
  wrk -t1 -c"$3" -d1s -s "$work/$4.lua" "http://127.0.0.1:$2/v1/chat/completions" >/dev/null
  before=$(cpu_ticks "$5")
  out=$(wrk -t1 -c"$3" -d"${duration}s" --latency -s "$work/$4.lua" "http://127.0.0.1:$2/v1/chat/completions")
  after=$(cpu_ticks "$5")
  echo "$out" > "$work/$1-$4-c$3.wrk"
  local errors
  errors=$(grep -E "Non-2xx|Socket errors" <<<"$out" || true)
  [[ -z $errors ]] || echo "$1: $errors" >&2
  awk -v ticks=$((after - before)) -v tick="$tick_us" \
      -v p50="$(to_us "$(awk '$1=="50%" {print $2}' <<<"$out")")" \
      -v p99="$(to_us "$(awk '$1=="99%" {print $2}' <<<"$out")")" '
    / requests in / { n = $1 }
    /Requests\/sec/ { rps = $2 }
    END { printf "%s %s %s %.1f\n", rps, p50, p99, (n > 0 ? ticks * tick / n : 0) }' <<<"$out"
}

# table BODY: throughput with $connections connections keeping every program
# busy, then latency on one connection (a request's time is its own path,
# not the queue in front of it).
table() {
  local body=$1 name
  declare -A r1 rc
  for name in direct haproxy quillmar; do
    local port_var=port_$name pid_var=pid_$name
    [[ $name != direct ]] || { port_var=port_a; pid_var=pid_direct; }
    rc[$name]=$(run "$name" "${!port_var}" "$connections" "$body" "${!pid_var}")
    r1[$name]=$(run "$name" "${!port_var}" 1 "$body" "${!pid_var}")
  done
  echo
  echo "$body non-streaming chat completions over loopback, wrk -t1, ${duration}s per run, $(nproc) cores"
  printf '%-20s %10s %9s %8s %9s | %10s %9s %9s %14s\n' "" "req/s" "p50 us" "p99 us" "CPU us/r" \
    "req/s" "p50 us" "p99 us" "p50-direct us"
  printf '%-20s %38s | %45s\n' "" "-c$connections (throughput)" "-c1 (latency)"
  local direct_p50
  direct_p50=$(awk '{print $2}' <<<"${r1[direct]}")
  for name in direct haproxy quillmar; do
    # shellcheck disable=SC2086
    awk -v n="$name" -v dp="$direct_p50" -v c="${rc[$name]}" -v o="${r1[$name]}" 'BEGIN {
      split(c, a, " "); split(o, b, " ")
      printf "%-20s %10.0f %9.0f %8.0f %9.1f | %10.0f %9.0f %9.0f %14.0f\n",
             n, a[1], a[2], a[3], a[4], b[1], b[2], b[3], b[2] - dp }'
  done
  awk -v q="${rc[quillmar]}" -v h="${rc[haproxy]}" 'BEGIN {
    split(q, a, " "); split(h, b, " ")
    printf "quillmar-proxy / haproxy: throughput %.2f, CPU per request %.2f\n", a[1] / b[1], a[4] / b[4] }'
}

table small
table large
