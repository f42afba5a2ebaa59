#!/usr/bin/env bash
# Installs what is missing, builds Kestrelio and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
./scripts/install-udev-rule.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target kestrelio
exec ./build/release/src/kestrelio "$@"
