#!/usr/bin/env bash
# Installs every build and test dependency on a fresh Debian 12 machine.
# Idempotent: installs only what is missing. When not root, prints the
# apt-get command to run instead.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopencv-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev zlib1g-dev nlohmann-json3-dev
  dataset-fashion-mnist
  clang-format
  python3-dev python3-numpy python3-pytest python3-mypy pybind11-dev
  clang libclang-rt-14-dev
)
extra=("$@")

missing=()
for package in "${packages[@]}" "${extra[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

command=(apt-get install -y --no-install-recommends "${missing[@]}")
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages; run as root:"
  echo "  apt-get update && ${command[*]}"
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
"${command[@]}"
