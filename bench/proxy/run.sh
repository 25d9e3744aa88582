#!/usr/bin/env bash
# Throughput, latency and CPU time per request of quillmar-proxy next to
# HAProxy and the backends directly, with wrk on loopback: small
# non-streaming chat requests, then the same with a 100 KB prompt (a pasted
# document), which the proxy reads and estimates and HAProxy passes on
# unread.
#
#   bench/proxy/run.sh [BUILD_DIR] [SECONDS] [CONNECTIONS] [ROUNDS]
#
# The throughput runs of HAProxy and the proxy alternate ROUNDS times
# (default 3): on a shared machine the rate drifts between runs by as much
# as the difference being measured, so each round's ratio compares two runs
# next to each other in time, and the median of those is the figure.
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
rounds=${4:-3}
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

# median of its arguments (the lower middle one of an even count)
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# table BODY: throughput with $connections connections keeping every program
# busy (HAProxy and the proxy alternating for $rounds rounds; the row shown
# is each one's median-rate run), then latency on one connection (a
# request's time is its own path, not the queue in front of it).
table() {
  local body=$1 name i
  declare -A r1 rc
  local -a rates ratios cpu_ratios
  rc[direct]=$(run direct "$port_a" "$connections" "$body" "$pid_direct")
  for ((i = 0; i < rounds; i++)); do
    local h q
    h=$(run haproxy "$port_haproxy" "$connections" "$body" "$pid_haproxy")
    q=$(run quillmar "$port_quillmar" "$connections" "$body" "$pid_quillmar")
    ratios+=("$(awk -v q="$q" -v h="$h" 'BEGIN { split(q, a, " "); split(h, b, " "); printf "%.2f", a[1] / b[1] }')")
    cpu_ratios+=("$(awk -v q="$q" -v h="$h" 'BEGIN { split(q, a, " "); split(h, b, " "); printf "%.2f", a[4] / b[4] }')")
    rc[haproxy,$i]=$h
    rc[quillmar,$i]=$q
  done
  for name in haproxy quillmar; do
    rates=()
    for ((i = 0; i < rounds; i++)); do rates+=("$(awk '{print $1}' <<<"${rc[$name,$i]}")"); done
    local mid
    mid=$(median "${rates[@]}")
    for ((i = 0; i < rounds; i++)); do
      [[ $(awk '{print $1}' <<<"${rc[$name,$i]}") != "$mid" ]] || { rc[$name]=${rc[$name,$i]}; break; }
    done
  done
  r1[direct]=$(run direct "$port_a" 1 "$body" "$pid_direct")
  r1[haproxy]=$(run haproxy "$port_haproxy" 1 "$body" "$pid_haproxy")
  r1[quillmar]=$(run quillmar "$port_quillmar" 1 "$body" "$pid_quillmar")
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
  echo "quillmar-proxy / haproxy, each round: throughput ${ratios[*]}, CPU per request ${cpu_ratios[*]}"
  echo "quillmar-proxy / haproxy, median of $rounds rounds: throughput $(median "${ratios[@]}")," \
       "CPU per request $(median "${cpu_ratios[@]}")"
}

table small
table large
