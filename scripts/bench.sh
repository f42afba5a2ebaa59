#!/usr/bin/env bash
# Builds the benchmark with optimisations and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh --bench
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target kestrelio_bench
exec ./build/release/bench/kestrelio_bench
