#!/usr/bin/env bash
# Installs what the build needs, configures and builds everything into build/.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpcre2-dev libdbus-1-dev dbus dbus-bin libxml2-dev libxslt1-dev libtidy-dev
  libyajl-dev libminizip-dev picojson-dev libgmp-dev libmpfr-dev
  clang-14 libclang-rt-14-dev unicode-data openssl iproute2
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

PY_ROOT="${ZELMO_PYTHON_ROOT:-/root/.pyenv/versions/3.13.0}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMO_PYTHON_ROOT="$PY_ROOT"
cmake --build build -j "$(nproc)"
