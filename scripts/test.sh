#!/usr/bin/env bash
# Builds and runs the whole test suite: unit tests in the release and the
# sanitizer presets, a host project built against the installed package,
# then each fuzzer for a bounded time. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in release sanitize; do
  echo "== $preset: build and test"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2
done

echo "== installed package: build a host project against it"
rm -rf build/release/install build/consumer
cmake --install build/release --prefix build/release/install >/dev/null
cmake -S examples/consumer -B build/consumer -G Ninja \
  -DCMAKE_PREFIX_PATH="$PWD/build/release/install" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/consumer
./build/consumer/consumer
for program in quillmar-lb quillmar-proxy quillmar-mock-backend; do
  build/release/install/bin/$program --version >/dev/null
done

echo "== the library built shared, and the same host project against it"
rm -rf build/shared build/consumer-shared
cmake -S . -B build/shared -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLMAR_BUILD_SHARED=ON \
  -DQUILLMAR_BUILD_TOOLS=OFF -DQUILLMAR_BUILD_TESTS=OFF -DQUILLMAR_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build/shared
cmake --install build/shared --prefix build/shared/install >/dev/null
cmake -S examples/consumer -B build/consumer-shared -G Ninja \
  -DCMAKE_PREFIX_PATH="$PWD/build/shared/install" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/consumer-shared
./build/consumer-shared/consumer

if [[ -x scripts/fuzz.sh ]]; then
  echo "== fuzzers"
  bash scripts/fuzz.sh
fi
