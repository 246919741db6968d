#!/usr/bin/env bash
# Installs everything the build, tests and demo need on a fresh Debian machine:
# system packages with apt-get, Python packages with pip. Safe to re-run.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libssl-dev zlib1g-dev libicu-dev icu-devtools unzip wordnet-base clang-16 libclang-rt-16-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing system packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore -r "$(dirname "$0")/../requirements-dev.txt"
