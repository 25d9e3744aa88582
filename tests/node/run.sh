#!/usr/bin/env bash
# Runs the OpenAI Node SDK test against quillmar-proxy, over HTTP, then HTTPS.
#   run.sh <source dir of this script> <work dir> <quillmar-proxy> <quillmar-mock-backend>
# Installs the pinned SDK with `npm ci` into the work dir (skipped when the
# installed tree already matches package-lock.json). Exit 77: node or npm
# missing (ctest reports the test as skipped).
set -euo pipefail
src=$1 work=$2
export QUILLMAR_PROXY_BIN=$3 QUILLMAR_MOCK_BIN=$4

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "node/npm not found: skipping the Node SDK test" >&2
  exit 77
fi

mkdir -p "$work"
cp "$src/package.json" "$src/package-lock.json" "$src/sdk_test.mjs" "$work/"
cd "$work"
want=$(sha256sum package-lock.json | cut -d' ' -f1)
have=$(cat node_modules/.quillmar-lock-sha256 2>/dev/null || true)
if [[ "$want" != "$have" ]]; then
  npm ci --no-audit --no-fund --loglevel=error
  echo "$want" > node_modules/.quillmar-lock-sha256
fi
node sdk_test.mjs
# The same calls over HTTPS on both hops, Node trusting the test CA the way
# an operator would tell it to.
certs=$(mktemp -d)
trap 'rm -rf "$certs"' EXIT
bash "$src/../e2e/make_test_certs.sh" "$certs"
NODE_EXTRA_CA_CERTS="$certs/ca.crt" QUILLMAR_TLS_DIR="$certs" node sdk_test.mjs
