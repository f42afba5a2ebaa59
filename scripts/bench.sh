#!/usr/bin/env bash
# Builds the benchmarks with optimisations and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh --bench
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target kestrelio_bench kestrelio_controller_bench kestrelio_flood_bench \
  kestrelio_pad_bench kestrelio_busy_bench kestrelio_trust_bench \
  kestrelio_realtime_bench kestrelio_pointer_bench \
  kestrelio_idle_bench
./build/release/bench/kestrelio_bench
./build/release/bench/kestrelio_controller_bench
./build/release/bench/kestrelio_flood_bench
./build/release/bench/kestrelio_pad_bench
./build/release/bench/kestrelio_busy_bench
./build/release/bench/kestrelio_trust_bench
./build/release/bench/kestrelio_realtime_bench
./build/release/bench/kestrelio_pointer_bench
./build/release/bench/kestrelio_idle_bench
