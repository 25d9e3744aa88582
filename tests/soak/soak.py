#!/usr/bin/env python3
"""Bounded soak of quillmar-proxy: mixed clients against failing backends.

    soak.py BUILD_DIR [SECONDS]   (default 180)

Starts two mock backends that fail now and then (errors, hangs, cut-off
streams), one that sends interim responses and one that resets every
connection, and a proxy in front of them with the queue on. Then, for
SECONDS, a fixed number of client tasks send a mix of normal, streaming,
abandoned, slow-reading, HEAD, dot-segment and malformed requests, while
the configuration is reloaded (SIGHUP) every few seconds.

Reports requests served by status, the proxy's resident memory at the start
(after warm-up), the middle and the end, its open descriptors, and the
balancer's final in-flight and parked counts. Exits 1 when memory grew by
more than 10% (plus 4 MiB) from the middle to the end, when descriptors did
not come back to the baseline, when a count was left, or when the proxy
died; 0 otherwise. Every process runs on loopback ports the OS picks and is
stopped at the end.
"""
import asyncio
import collections
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

CLIENTS = 24
RELOAD_EVERY = 5.0


def start(argv, err_path):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=open(err_path, "w"))
    line = proc.stdout.readline()
    if not line:
        raise RuntimeError(f"{argv[0]} did not start; see {err_path}")
    return proc, json.loads(line)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def chat(stream, tokens, content="hello"):
    return json.dumps({"model": "m", "stream": stream, "max_tokens": tokens,
                       "messages": [{"role": "user", "content": content}]})


def post_bytes(target, body, extra=""):
    return (f"POST {target} HTTP/1.1\r\nHost: soak\r\nContent-Type: application/json\r\n{extra}"
            f"Content-Length: {len(body)}\r\n\r\n{body}").encode()


class Soak:
    def __init__(self, port):
        self.port = port
        self.statuses = collections.Counter()
        self.kinds = collections.Counter()

    async def exchange(self, data, read="all", pause=0.0, timeout=30.0):
        """Sends `data`; reads the whole answer, only the head, or the head
        then slowly; returns the status (0 when none came)."""
        reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
        status = 0
        try:
            writer.write(data)
            await writer.drain()
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
            status = int(head.split(b" ", 2)[1])
            if read == "all":
                await asyncio.wait_for(self.read_body(reader, head), timeout)
            elif read == "slow":
                for _ in range(5):
                    await asyncio.sleep(pause)
                    if not await reader.read(256):
                        break
        except (asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError, ValueError, IndexError):
            pass
        finally:
            writer.close()
        return status

    async def read_body(self, reader, head):
        text = head.decode("latin-1").lower()
        if "content-length:" in text:
            n = int(text.split("content-length:")[1].split("\r\n")[0])
            if not text.startswith("http/1.1 1") and " head " not in text:
                await reader.readexactly(n)
        elif "transfer-encoding: chunked" in text:
            while True:
                size = int((await reader.readuntil(b"\r\n")).split(b";")[0], 16)
                await reader.readexactly(size + 2)
                if size == 0:
                    return

    async def one(self, rng):
        roll = rng.random()
        if roll < 0.45:
            kind, s = "plain", await self.exchange(post_bytes("/v1/chat/completions", chat(False, rng.randint(1, 20))))
        elif roll < 0.65:
            kind, s = "stream", await self.exchange(post_bytes("/v1/chat/completions", chat(True, rng.randint(5, 40))))
        elif roll < 0.75:
            kind, s = "abandoned", await self.exchange(post_bytes("/v1/chat/completions", chat(True, 200)), read="head")
        elif roll < 0.80:
            kind, s = "slow", await self.exchange(post_bytes("/v1/chat/completions", chat(True, 60)),
                                                  read="slow", pause=0.5)
        elif roll < 0.85:
            kind, s = "head", await self.exchange(b"HEAD /healthz HTTP/1.1\r\nHost: soak\r\n\r\n")
        elif roll < 0.90:
            kind, s = "dots", await self.exchange(post_bytes("/v1/../admin/reset", chat(False, 1)))
        elif roll < 0.95:
            kind, s = "smuggle", await self.exchange(
                b"POST /v1/chat/completions HTTP/1.1\r\nHost: soak\r\nTransfer-Encoding: gzip\r\n\r\n" +
                post_bytes("/v1/chat/completions", chat(False, 1)))
        else:
            kind, s = "garbage", await self.exchange(b"\x16\x03\x01 not http at all\r\n\r\n")
        self.kinds[kind] += 1
        self.statuses[s] += 1

    async def client(self, seed, until):
        rng = random.Random(seed)
        while time.monotonic() < until:
            await self.one(rng)


def http_get(port, path):
    import urllib.request
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=10) as r:
        return r.read().decode()


def config(servers, reload_no):
    # Every other reload drops the resetting backend, so reloads change the pool.
    chosen = servers if reload_no % 2 == 0 else servers[:-1]
    return {
        "listen": {"address": "127.0.0.1", "port": 0},
        "admin": {"address": "127.0.0.1", "port": 0},
        "routing_mode": "max_concurrency",
        "queue": {"enabled": True, "ttl_sec": 5, "max_depth_multiplier": 2},
        "timeouts": {"connect_sec": 2, "first_byte_sec": 2, "idle_sec": 2, "client_idle_sec": 10,
                     "client_write_sec": 2, "drain_sec": 5},
        "sin_bin_sec": 1,
        "health_check": {"interval_sec": 0.5, "timeout_sec": 1},
        "reaper_interval_sec": 2,
        "upstream_pool_size": 4,
        "access_log": "off",
        "models": {"m": {"clusters": [1], "algorithm": "least_connections", "servers": chosen}},
    }


async def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    build = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 180.0
    tools = os.path.join(build, "tools")
    work = tempfile.mkdtemp(prefix="quillmar-soak-")
    procs = []
    try:
        mock = os.path.join(tools, "quillmar-mock-backend")
        bad = os.path.join(tools, "quillmar-misbehaving-backend")
        ports = []
        for i, extra in enumerate([["--error-rate", "0.03", "--hang-rate", "0.01", "--close-mid-stream-rate", "0.03"],
                                   ["--tokens-per-sec", "200", "--close-mid-stream-rate", "0.02"]]):
            p, info = start([mock, "--port", "0", "--name", f"m{i}", "--seed", str(i + 1)] + extra,
                            f"{work}/mock{i}.err")
            procs.append(p)
            ports.append(info["port"])
        for mode in ["interim", "reset"]:
            p, info = start([bad, "--port", "0", "--mode", mode], f"{work}/{mode}.err")
            procs.append(p)
            ports.append(info["port"])
        servers = [{"id": i + 1, "url": f"http://127.0.0.1:{port}", "max_concurrency": 8}
                   for i, port in enumerate(ports)]
        cfg_path = f"{work}/proxy.json"
        with open(cfg_path, "w") as f:
            json.dump(config(servers, 0), f)
        proxy, info = start([os.path.join(tools, "quillmar-proxy"), "--config", cfg_path], f"{work}/proxy.err")
        procs.append(proxy)
        port = info["port"]
        soak = Soak(port)

        # Warm-up, then the baseline.
        await asyncio.gather(*(soak.client(s, time.monotonic() + min(5.0, seconds / 6)) for s in range(CLIENTS)))
        await asyncio.sleep(3.0)
        base_fds, rss = fds(proxy.pid), [rss_kib(proxy.pid)]

        until = time.monotonic() + seconds
        tasks = [asyncio.create_task(soak.client(100 + s, until)) for s in range(CLIENTS)]
        reloads, middle_taken = 0, False
        while time.monotonic() < until:
            await asyncio.sleep(RELOAD_EVERY)
            reloads += 1
            with open(cfg_path + ".tmp", "w") as f:
                json.dump(config(servers, reloads), f)
            os.replace(cfg_path + ".tmp", cfg_path)
            proxy.send_signal(signal.SIGHUP)
            if not middle_taken and time.monotonic() > until - seconds / 2:
                rss.append(rss_kib(proxy.pid))
                middle_taken = True
        await asyncio.gather(*tasks)
        await asyncio.sleep(6.0)  # write deadlines, queue and upstream time-outs run out
        rss.append(rss_kib(proxy.pid))
        end_fds = fds(proxy.pid)
        snap = json.loads(http_get(info["admin_port"], "/lb/snapshot"))
        left = {k: v for k, v in snap["inflight"].items() if v != 0}
        parked = snap["queue_total_waiters"]

        served = sum(soak.statuses.values())
        print(f"soak: {seconds:.0f} s, {CLIENTS} clients, {reloads} reloads, {served} requests")
        print("  by kind:   " + ", ".join(f"{k} {v}" for k, v in sorted(soak.kinds.items())))
        print("  by status: " + ", ".join(f"{k} {v}" for k, v in sorted(soak.statuses.items())))
        print(f"  RSS KiB:   start {rss[0]}, middle {rss[1] if len(rss) > 2 else '-'}, end {rss[-1]}")
        print(f"  fds:       baseline {base_fds}, end {end_fds}")
        print(f"  final:     in flight {left or 0}, parked {parked}")
        failures = []
        middle = rss[1] if len(rss) > 2 else rss[0]
        if rss[-1] > middle * 1.10 + 4096:
            failures.append(f"memory grew from {middle} to {rss[-1]} KiB")
        # Idle upstream connections (at most upstream_pool_size per backend) may differ.
        if end_fds > base_fds + 4 * len(servers):
            failures.append(f"descriptors leaked: {base_fds} -> {end_fds}")
        if left or parked:
            failures.append(f"counts left: in flight {left}, parked {parked}")
        if proxy.poll() is not None:
            failures.append(f"the proxy died with status {proxy.returncode}")
        if soak.statuses.get(200, 0) == 0:
            failures.append("nothing was served")
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
