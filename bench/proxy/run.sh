#!/usr/bin/env bash
# Throughput and latency of quillmar-proxy next to HAProxy and the backends
# directly, with wrk on loopback and small non-streaming chat requests.
#
#   bench/proxy/run.sh [BUILD_DIR] [SECONDS] [CONNECTIONS]
#
# BUILD_DIR defaults to build/release (quillmar-proxy and
# quillmar-mock-backend must be built there). Installs haproxy and wrk with
# apt-get when they are missing. Prints one table; everything it starts is
# stopped when it exits.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
duration=${2:-10}
connections=${3:-32}
maxconn=64  # per backend: above the connection count, so nothing queues

proxy_bin=$build/tools/quillmar-proxy
mock_bin=$build/tools/quillmar-mock-backend
for b in "$proxy_bin" "$mock_bin"; do
  [[ -x $b ]] || { echo "missing $b: build quillmar-proxy and quillmar-mock-backend first" >&2; exit 2; }
done

missing=()
command -v haproxy >/dev/null || missing+=(haproxy)
command -v wrk >/dev/null || missing+=(wrk)
if ((${#missing[@]})); then
  echo "installing ${missing[*]}" >&2
  SUDO=; [[ $(id -u) -eq 0 ]] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a program that prints {"port":N,...} first; sets $port.
start() {
  local name=$1; shift
  "$@" > "$work/$name.out" 2> "$work/$name.err" &
  pids+=($!)
  for _ in $(seq 1 500); do
    if [[ -s $work/$name.out ]]; then
      port=$(head -1 "$work/$name.out" | sed -E 's/.*"port":([0-9]+).*/\1/')
      return 0
    fi
    sleep 0.01
  done
  echo "$name did not start:" >&2; cat "$work/$name.err" >&2; exit 1
}

free_port() {
  python3 - 2>/dev/null <<'PY' || echo $((20000 + RANDOM % 20000))
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
PY
}

start mock_a "$mock_bin" --port 0 --name a; port_a=$port
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
start proxy "$proxy_bin" --config "$work/proxy.json" --log-level warn; port_proxy=$port

port_haproxy=$(free_port)
sed -e "s/@PORT@/$port_haproxy/" -e "s/@BACKEND_A@/$port_a/" -e "s/@BACKEND_B@/$port_b/" \
    -e "s/@MAXCONN@/$maxconn/" "$here/haproxy.cfg.in" > "$work/haproxy.cfg"
haproxy -f "$work/haproxy.cfg" > "$work/haproxy.err" 2>&1 &
pids+=($!)
ready=
for _ in $(seq 1 500); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port_haproxy") 2>/dev/null; then ready=1; break; fi
  sleep 0.01
done
[[ -n $ready ]] || { echo "haproxy did not start:" >&2; cat "$work/haproxy.err" >&2; exit 1; }

cat > "$work/post.lua" <<'LUA'
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/json"
wrk.body = '{"model":"bench","max_tokens":4,"messages":[{"role":"user","content":"Hello, how are you today?"}]}'
LUA

# run NAME PORT CONNECTIONS -> "rps p50_us p99_us"
run() {
  local out
  # A short warm-up fills the connection pools on both proxies.
  wrk -t1 -c"$3" -d1s -s "$work/post.lua" "http://127.0.0.1:$2/v1/chat/completions" >/dev/null
  out=$(wrk -t1 -c"$3" -d"${duration}s" --latency -s "$work/post.lua" \
        "http://127.0.0.1:$2/v1/chat/completions")
  echo "$out" > "$work/$1-c$3.wrk"
  local rps p50 p99 errors
  rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
  p50=$(awk '$1=="50%" {print $2}' <<<"$out")
  p99=$(awk '$1=="99%" {print $2}' <<<"$out")
  errors=$(grep -E "Non-2xx|Socket errors" <<<"$out" || true)
  [[ -z $errors ]] || echo "$1: $errors" >&2
  echo "$rps $(to_us "$p50") $(to_us "$p99")"
}
# wrk prints 512.00us, 1.23ms, 2.00s
to_us() {
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) print n; else if (v ~ /ms$/) print n * 1000; else print n * 1000000 }'
}

# Throughput: $connections concurrent connections keep every program busy.
read -r d_rps d_p50 d_p99 < <(run direct "$port_a" "$connections")
read -r h_rps h_p50 h_p99 < <(run haproxy "$port_haproxy" "$connections")
read -r q_rps q_p50 q_p99 < <(run quillmar "$port_proxy" "$connections")
# Latency: one connection, so a request's time is its own path and not the
# queue in front of it.
read -r d1_rps d1_p50 d1_p99 < <(run direct "$port_a" 1)
read -r h1_rps h1_p50 h1_p99 < <(run haproxy "$port_haproxy" 1)
read -r q1_rps q1_p50 q1_p99 < <(run quillmar "$port_proxy" 1)

echo
echo "small non-streaming chat completions over loopback, wrk -t1, ${duration}s per run, $(nproc) cores"
printf '%-20s %10s %9s %8s | %10s %9s %9s %16s\n' "" "req/s" "p50 us" "p99 us" "req/s" "p50 us" "p99 us" "p50 - direct us"
printf '%-20s %29s | %47s\n' "" "-c$connections (throughput)" "-c1 (latency)"
row() {
  awk -v n="$1" -v r="$2" -v p5="$3" -v p9="$4" -v r1="$5" -v q5="$6" -v q9="$7" -v dp="$d1_p50" \
    'BEGIN { printf "%-20s %10.0f %9.0f %8.0f | %10.0f %9.0f %9.0f %16.0f\n", n, r, p5, p9, r1, q5, q9, q5 - dp }'
}
row "direct (1 backend)" "$d_rps" "$d_p50" "$d_p99" "$d1_rps" "$d1_p50" "$d1_p99"
row haproxy "$h_rps" "$h_p50" "$h_p99" "$h1_rps" "$h1_p50" "$h1_p99"
row quillmar-proxy "$q_rps" "$q_p50" "$q_p99" "$q1_rps" "$q1_p50" "$q1_p99"
awk -v q="$q_rps" -v h="$h_rps" 'BEGIN { printf "throughput quillmar-proxy / haproxy: %.2f\n", q / h }'
