#!/usr/bin/env bash
# Installs what is missing, builds Tambrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Tambrel
exec build/Tambrel "$@"
