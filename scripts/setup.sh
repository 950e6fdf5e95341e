#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine, only where it is missing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config openssl npm libopenblas-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3-numpy)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm may come with a Node.js that was installed outside Debian's packages.
if command -v npm >/dev/null 2>&1; then
  missing=("${missing[@]/npm}")
fi
read -r -a missing <<<"${missing[*]}"
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
