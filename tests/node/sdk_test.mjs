// The official OpenAI Node SDK, a client nobody here wrote, through
// quillmar-proxy: a streaming chat completion and an embeddings call, each
// checked against the same call made to the backend directly.
//
// Env: QUILLMAR_PROXY_BIN, QUILLMAR_MOCK_BIN; with QUILLMAR_TLS_DIR (the
// files of tests/e2e/make_test_certs.sh, its CA in NODE_EXTRA_CA_CERTS) both
// hops are HTTPS. Exit 0 on success.
import OpenAI from "openai";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";

const children = [];
function killAll() {
  for (const c of children) if (c.exitCode === null && c.signalCode === null) c.kill("SIGTERM");
}
process.on("exit", killAll);
for (const sig of ["SIGINT", "SIGTERM"]) process.on(sig, () => process.exit(1));

// Starts a program that prints {"port":N,...} as its first stdout line.
function start(bin, args, timeoutMs = 60000) {
  return new Promise((resolve, reject) => {
    const child = spawn(bin, args, { stdio: ["ignore", "pipe", "inherit"] });
    children.push(child);
    const timer = setTimeout(() => reject(new Error(`${bin} printed no ports line`)), timeoutMs);
    child.on("exit", (code) => reject(new Error(`${bin} exited with ${code} before listening`)));
    createInterface({ input: child.stdout }).once("line", (line) => {
      clearTimeout(timer);
      resolve(JSON.parse(line));
    });
  });
}

async function main() {
  const mock = process.env.QUILLMAR_MOCK_BIN;
  const proxyBin = process.env.QUILLMAR_PROXY_BIN;
  assert.ok(mock && proxyBin, "QUILLMAR_PROXY_BIN and QUILLMAR_MOCK_BIN must be set");

  const tlsDir = process.env.QUILLMAR_TLS_DIR;
  const tls = tlsDir ? { cert_file: join(tlsDir, "a.crt"), key_file: join(tlsDir, "a.key") } : undefined;
  const tlsArgs = tls ? ["--tls-cert", tls.cert_file, "--tls-key", tls.key_file] : [];
  const origin = (port) => (tls ? `https://localhost:${port}` : `http://127.0.0.1:${port}`);
  const mockArgs = ["--port", "0", "--tokens-per-sec", "200", "--default-tokens", "12", ...tlsArgs];
  const a = await start(mock, [...mockArgs, "--name", "a"]);
  const b = await start(mock, [...mockArgs, "--name", "b"]);
  const dir = mkdtempSync(join(tmpdir(), "quillmar-node-"));
  const config = join(dir, "proxy.json");
  writeFileSync(
    config,
    JSON.stringify({
      listen: { address: "127.0.0.1", port: 0, tls },
      upstream_tls: tls ? { ca_file: join(tlsDir, "ca.crt") } : undefined,
      admin: { enabled: false },
      routing_mode: "max_concurrency",
      health_check: { interval_sec: 0 },
      access_log: "off",
      models: {
        "mock-chat": {
          algorithm: "least_connections",
          servers: [
            { id: 1, url: `${origin(a.port)}/`, max_concurrency: 4 },
            { id: 2, url: origin(b.port), max_concurrency: 4 },
          ],
        },
      },
    }),
  );
  const proxy = await start(proxyBin, ["--config", config]);

  const viaProxy = new OpenAI({ apiKey: "test-key", baseURL: `${origin(proxy.port)}/v1`, maxRetries: 0 });
  const direct = new OpenAI({ apiKey: "test-key", baseURL: `${origin(a.port)}/v1`, maxRetries: 0 });

  // Streaming chat completion.
  const request = {
    model: "mock-chat",
    messages: [{ role: "user", content: "Say something through the proxy." }],
    stream: true,
  };
  async function collect(client) {
    const stream = await client.chat.completions.create(request);
    let text = "";
    let chunks = 0;
    let finish = null;
    for await (const chunk of stream) {
      chunks += 1;
      const choice = chunk.choices[0];
      if (choice?.delta?.content) text += choice.delta.content;
      if (choice?.finish_reason) finish = choice.finish_reason;
    }
    return { text, chunks, finish };
  }
  const streamed = await collect(viaProxy);
  const expected = await collect(direct);
  assert.equal(streamed.finish, "stop");
  assert.equal(streamed.text.trim().split(/\s+/).length, 12, `12 tokens expected, got "${streamed.text}"`);
  assert.equal(streamed.chunks, 13);
  // Backends are interchangeable mocks with one seed: same body, same text.
  assert.equal(streamed.text, expected.text);

  // Embeddings.
  const inputs = ["first input", "second input"];
  const emb = await viaProxy.embeddings.create({ model: "mock-chat", input: inputs, encoding_format: "float" });
  const embDirect = await direct.embeddings.create({ model: "mock-chat", input: inputs, encoding_format: "float" });
  assert.equal(emb.data.length, 2);
  assert.equal(emb.data[0].embedding.length, 8);
  assert.deepEqual(emb.data.map((d) => d.embedding), embDirect.data.map((d) => d.embedding));

  // An unknown model comes back as the SDK's typed 404 error.
  await assert.rejects(
    viaProxy.chat.completions.create({ model: "no-such-model", messages: [{ role: "user", content: "x" }] }),
    (err) => err instanceof OpenAI.NotFoundError && err.code === "model_not_found",
  );

  console.log(`node sdk over ${tls ? "HTTPS" : "HTTP"}: streaming chat, embeddings and error mapping: ok`);
}

main()
  .then(() => {
    killAll();
    process.exit(0);
  })
  .catch((err) => {
    console.error(err);
    killAll();
    process.exit(1);
  });
