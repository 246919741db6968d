#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests in a release build, under
# AddressSanitizer + UndefinedBehaviorSanitizer and under ThreadSanitizer, the
# fuzzers, then the Python tests against the extension installed by
# `pip install .`.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/setup.sh

echo "== C++ unit tests (release)"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKARVALITH_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== C++ unit tests (debug, ASan + UBSan)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKARVALITH_SANITIZE=ON \
  -DKARVALITH_BUILD_BENCH=OFF -DKARVALITH_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== C++ unit tests (ThreadSanitizer)"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKARVALITH_TSAN=ON \
  -DKARVALITH_BUILD_BENCH=OFF -DKARVALITH_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"

echo "== Fuzzers (libFuzzer under ASan + UBSan, 30 s each)"
CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DKARVALITH_SANITIZE=ON \
  -DKARVALITH_BUILD_FUZZERS=ON -DKARVALITH_BUILD_TESTS=OFF -DKARVALITH_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target snapshot_decoder_fuzz wal_reader_fuzz make_seed_corpus
corpus=build/fuzz/corpus
rm -rf "$corpus"
build/fuzz/fuzz/make_seed_corpus "$corpus/snapshot" "$corpus/wal"
for target in snapshot:snapshot_decoder_fuzz wal:wal_reader_fuzz; do
  if ! build/fuzz/fuzz/${target#*:} -max_total_time=30 -print_final_stats=1 "$corpus/${target%%:*}" \
      >"build/fuzz/${target#*:}.log" 2>&1; then
    tail -n 60 "build/fuzz/${target#*:}.log"
    echo "fuzzer ${target#*:} failed"
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "build/fuzz/${target#*:}.log" | sed "s/^/${target#*:}: /"
done

if compgen -G "tests/python/test_*.py" >/dev/null; then
  echo "== Python tests"
  python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation \
    -Cbuild-dir=build/python "$root"
  (cd tests/python && python3 -m pytest -q)
fi

echo "== Wheel (self-contained, installed into a bare venv without a compiler)"
# Reuses build/python: only the module is linked again.
scripts/build-wheel.sh python3
scripts/test-wheel.sh python3

echo "== Types (mypy --strict on the package and a typed example)"
scripts/typecheck.sh

echo "== Documentation (Sphinx, warnings as errors)"
scripts/docs.sh
