#!/usr/bin/env bash
# Throughput, latency and CPU time per request of quillmar-proxy next to
# HAProxy (as configured, and stamping request ids as the proxy does: the
# haproxy-id rows) and the backends directly, with wrk on loopback: small
# non-streaming chat requests, then the same with a 100 KB prompt (a pasted
# document), which the proxy reads and estimates and HAProxy passes on
# unread.
#
#   bench/proxy/run.sh [BUILD_DIR] [SECONDS] [CONNECTIONS] [ROUNDS]
#
# The throughput runs of the HAProxies and the proxy alternate ROUNDS times
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

# start_haproxy NAME [CONFIG LINE...]: HAProxy from haproxy.cfg.in with
# the lines added to its frontend; sets $port and $pid.
start_haproxy() {
  local name=$1 extra=
  shift
  port=$(free_port)
  for line in "$@"; do extra+="    $line\\n"; done
  sed -e "s/@PORT@/$port/" -e "s/@BACKEND_A@/$port_a/" -e "s/@BACKEND_B@/$port_b/" \
      -e "s/@MAXCONN@/$maxconn/" -e "s|^    @FRONTEND@\$|${extra%\\n}|" "$here/haproxy.cfg.in" > "$work/$name.cfg"
  haproxy -f "$work/$name.cfg" > "$work/$name.err" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_until "$name" port_open "$port"
}
start_haproxy haproxy; port_haproxy=$port; pid_haproxy=$pid
# The proxy stamps every request with an id (the client's X-Request-Id, or
# a fresh 32-hex-digit one), passes it to the backend and returns it to the
# client; the mock echoes it back as x-mock-request-id. That is about 100
# bytes more each way, which the backends and wrk pay for too. This HAProxy
# does the same, so that the two compare like for like.
start_haproxy haproxy-id 'unique-id-format %[uuid(4),regsub(-,,g)]' 'unique-id-header X-Request-Id' \
    'http-response set-header X-Request-Id %[unique-id]'
port_haproxy_id=$port; pid_haproxy_id=$pid

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

# ratio FIELD Q H: field FIELD of run result Q over that of H, two decimals.
ratio() {
  awk -v f="$1" -v q="$2" -v h="$3" 'BEGIN { split(q, a, " "); split(h, b, " "); printf "%.2f", a[f] / b[f] }'
}

# table BODY: throughput with $connections connections keeping every program
# busy (both HAProxies and the proxy in turn for $rounds rounds; the row
# shown is each one's median-rate run), then latency on one connection (a
# request's time is its own path, not the queue in front of it).
table() {
  local body=$1 name i
  declare -A r1 rc port_of pid_of
  local -a rates ratios cpu_ratios id_ratios id_cpu_ratios
  local names=(haproxy haproxy-id quillmar)
  port_of=([haproxy]=$port_haproxy [haproxy-id]=$port_haproxy_id [quillmar]=$port_quillmar)
  pid_of=([haproxy]=$pid_haproxy [haproxy-id]=$pid_haproxy_id [quillmar]=$pid_quillmar)
  rc[direct]=$(run direct "$port_a" "$connections" "$body" "$pid_direct")
  for ((i = 0; i < rounds; i++)); do
    for name in "${names[@]}"; do
      rc[$name,$i]=$(run "$name" "${port_of[$name]}" "$connections" "$body" "${pid_of[$name]}")
    done
    ratios+=("$(ratio 1 "${rc[quillmar,$i]}" "${rc[haproxy,$i]}")")
    cpu_ratios+=("$(ratio 4 "${rc[quillmar,$i]}" "${rc[haproxy,$i]}")")
    id_ratios+=("$(ratio 1 "${rc[quillmar,$i]}" "${rc[haproxy-id,$i]}")")
    id_cpu_ratios+=("$(ratio 4 "${rc[quillmar,$i]}" "${rc[haproxy-id,$i]}")")
  done
  for name in "${names[@]}"; do
    rates=()
    for ((i = 0; i < rounds; i++)); do rates+=("$(awk '{print $1}' <<<"${rc[$name,$i]}")"); done
    local mid
    mid=$(median "${rates[@]}")
    for ((i = 0; i < rounds; i++)); do
      [[ $(awk '{print $1}' <<<"${rc[$name,$i]}") != "$mid" ]] || { rc[$name]=${rc[$name,$i]}; break; }
    done
  done
  r1[direct]=$(run direct "$port_a" 1 "$body" "$pid_direct")
  for name in "${names[@]}"; do r1[$name]=$(run "$name" "${port_of[$name]}" 1 "$body" "${pid_of[$name]}"); done
  echo
  echo "$body non-streaming chat completions over loopback, wrk -t1, ${duration}s per run, $(nproc) cores"
  printf '%-20s %10s %9s %8s %9s | %10s %9s %9s %14s\n' "" "req/s" "p50 us" "p99 us" "CPU us/r" \
    "req/s" "p50 us" "p99 us" "p50-direct us"
  printf '%-20s %38s | %45s\n' "" "-c$connections (throughput)" "-c1 (latency)"
  local direct_p50
  direct_p50=$(awk '{print $2}' <<<"${r1[direct]}")
  for name in direct "${names[@]}"; do
    # shellcheck disable=SC2086
    awk -v n="$name" -v dp="$direct_p50" -v c="${rc[$name]}" -v o="${r1[$name]}" 'BEGIN {
      split(c, a, " "); split(o, b, " ")
      printf "%-20s %10.0f %9.0f %8.0f %9.1f | %10.0f %9.0f %9.0f %14.0f\n",
             n, a[1], a[2], a[3], a[4], b[1], b[2], b[3], b[2] - dp }'
  done
  echo "quillmar-proxy / haproxy, each round: throughput ${ratios[*]}, CPU per request ${cpu_ratios[*]}"
  echo "quillmar-proxy / haproxy, median of $rounds rounds: throughput $(median "${ratios[@]}")," \
       "CPU per request $(median "${cpu_ratios[@]}")"
  echo "quillmar-proxy / haproxy-id, each round: throughput ${id_ratios[*]}, CPU per request ${id_cpu_ratios[*]}"
  echo "quillmar-proxy / haproxy-id, median of $rounds rounds: throughput $(median "${id_ratios[@]}")," \
       "CPU per request $(median "${id_cpu_ratios[@]}")"
}

table small
table large
