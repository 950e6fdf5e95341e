#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine, only where it is missing.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config openssl libopenblas-dev libgtest-dev libgmock-dev libbenchmark-dev)
# npm fetches ggml; a Node.js installed outside Debian's packages will do.
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
