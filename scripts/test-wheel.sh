#!/usr/bin/env bash
# Tests the wheel in dist/ as a user gets it: installs it into a fresh virtual
# environment without system site packages, with nothing but that environment
# on PATH (so no compiler), and runs tests/wheel/smoke.py there. Also checks
# that the wheel's filtered ICU data answers the tokenizer's questions as the
# full data does.
#   scripts/test-wheel.sh [python]   (default python3; its wheel must be in dist/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${1:-python3}
tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
wheel=$(ls "$root"/dist/karvalith-*-"$tag"-*manylinux*.whl)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== ICU data of $(basename "$wheel")"
unzip -q "$wheel" 'karvalith.libs/*' -d "$scratch/wheel"
mkdir "$scratch/icu"
for library in "$scratch"/wheel/karvalith.libs/libicudata-*.so.*; do
  # The system's libicuuc asks for libicudata by its plain soname.
  cp "$library" "$scratch/icu/$(basename "$library" | sed -E 's/-[0-9a-f]+\.so/.so/; s/(\.so\.[0-9]+)\..*/\1/')"
done
g++ -std=c++17 -O1 tests/wheel/icu_data_check.cc -o "$scratch/icu_data_check" -licuuc
full=$("$scratch/icu_data_check")
filtered=$(LD_LIBRARY_PATH="$scratch/icu" "$scratch/icu_data_check")
if [ "$(LD_LIBRARY_PATH="$scratch/icu" ldd "$scratch/icu_data_check" | grep -c "$scratch/icu/libicudata")" != 1 ]; then
  echo "the check did not load the wheel's libicudata"; exit 1
fi
echo "full data: $full; wheel's data: $filtered ($(stat -c %s "$scratch"/icu/libicudata.so.*) bytes)"
[ "$full" = "$filtered" ] || { echo "the wheel's ICU data changes what the tokenizer sees"; exit 1; }

echo "== a missing build dependency names the package to install"
for missing in ICU:libicu-dev OpenSSL:libssl-dev ZLIB:zlib1g-dev; do
  if cmake -S . -B "$scratch/configure" -DKARVALITH_BUILD_TESTS=OFF -DKARVALITH_BUILD_BENCH=OFF \
       -DCMAKE_DISABLE_FIND_PACKAGE_${missing%%:*}=ON >"$scratch/configure.log" 2>&1; then
    echo "configured without ${missing%%:*}"; exit 1
  fi
  grep -q "apt-get install ${missing#*:}" "$scratch/configure.log" || { cat "$scratch/configure.log"; exit 1; }
  rm -rf "$scratch/configure"
done
echo "ICU, OpenSSL and zlib each named"

echo "== install into a bare virtual environment"
"$python" -m venv "$scratch/venv"
venv_path="$scratch/venv/bin"
bare=(env -i HOME="$scratch" PATH="$venv_path" LANG=C.UTF-8)
for compiler in cc gcc g++ c++ clang; do
  if "${bare[@]}" /bin/sh -c "command -v $compiler" >/dev/null 2>&1; then echo "$compiler is on the bare PATH"; exit 1; fi
done
start=$EPOCHREALTIME
"${bare[@]}" python -m pip install -q --disable-pip-version-check --no-index "$wheel"
awk "BEGIN { printf \"installed in %.1f s\\n\", $EPOCHREALTIME - $start }"
"${bare[@]}" python -c 'import sys; assert sys.prefix != sys.base_prefix and not any("site-packages" in p and sys.prefix not in p for p in sys.path), sys.path'

echo "== smoke test"
cp tests/wheel/smoke.py "$scratch/smoke.py"
(cd "$scratch" && "${bare[@]}" python smoke.py)
