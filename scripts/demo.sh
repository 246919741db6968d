#!/usr/bin/env bash
# The main job: a short run of the HNSW benchmark on clustered vectors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target hnsw_bench
build/release/bench/hnsw_bench --n 20000 --d 128 "$@"
