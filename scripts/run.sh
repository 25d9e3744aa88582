#!/usr/bin/env bash
# The main job: builds the release preset and runs `quillmar-lb` with the
# given arguments (by default the built-in simulation).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quillmar-lb >&2
if (($# == 0)); then set -- simulate; fi
exec ./build/release/tools/quillmar-lb "$@"
