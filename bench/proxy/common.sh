# Shared by the proxy benchmarks (sourced): checks the programs, installs the
# Debian tools they drive when missing, a scratch folder cleaned up with
# everything started, and the start-and-wait helpers.
#
#   source common.sh BUILD_DIR TOOL...
# sets proxy_bin, mock_bin, work, pids; defines wait_until, port_open, start,
# free_port, cpu_ticks.

proxy_bin=$1/tools/quillmar-proxy
mock_bin=$1/tools/quillmar-mock-backend
shift
for b in "$proxy_bin" "$mock_bin"; do
  [[ -x $b ]] || { echo "missing $b: build quillmar-proxy and quillmar-mock-backend first" >&2; exit 2; }
done

missing=()
for tool in "$@"; do command -v "$tool" >/dev/null || missing+=("$tool"); done
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

# wait_until NAME CHECK...: runs CHECK every 10 ms, for up to 5 s, until it
# succeeds; otherwise prints $work/NAME.err and exits.
wait_until() {
  local name=$1; shift
  for _ in $(seq 1 500); do
    "$@" && return 0
    sleep 0.01
  done
  echo "$name did not start:" >&2; cat "$work/$name.err" >&2; exit 1
}

# port_open PORT: something accepts connections on 127.0.0.1:PORT.
port_open() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts a program that prints {"port":N,"admin_port":M} first; sets $port,
# $admin_port (when printed) and $pid.
start() {
  local name=$1; shift
  "$@" > "$work/$name.out" 2> "$work/$name.err" &
  pid=$!
  pids+=("$pid")
  wait_until "$name" test -s "$work/$name.out"
  port=$(head -1 "$work/$name.out" | sed -E 's/.*"port":([0-9]+).*/\1/')
  admin_port=$(head -1 "$work/$name.out" | sed -nE 's/.*"admin_port":([0-9]+).*/\1/p')
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# User plus system CPU time of a process so far, in clock ticks.
cpu_ticks() {
  awk '{ print $14 + $15 }' "/proc/$1/stat"
}
