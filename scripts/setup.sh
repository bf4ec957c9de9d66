#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12 as root. Asks apt only for what is missing.
set -euo pipefail

packages=(cmake g++ ninja-build libgtest-dev ffmpeg curl iproute2 util-linux clang)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
