#!/usr/bin/env bash
# Installs what the build needs, configures and builds everything into build/.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpcre2-dev libdbus-1-dev dbus dbus-bin libxml2-dev libxslt1-dev libtidy-dev
  libyajl-dev libminizip-dev picojson-dev libgmp-dev libmpfr-dev libmsgpack-dev libmsgpack-cxx-dev libabsl-dev libssl-dev
  clang-14 libclang-rt-14-dev unicode-data openssl iproute2 locales xsltproc libxml2-utils
  libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc
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

# Real locales for the localized formatting tests.
if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^it_IT.utf8$'; then
  sed -i -E 's/^# ?(it_IT\.UTF-8 UTF-8)/\1/; s/^# ?(en_US\.UTF-8 UTF-8)/\1/' /etc/locale.gen
  locale-gen
fi

PY_ROOT="${ZELMO_PYTHON_ROOT:-/root/.pyenv/versions/3.13.0}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMO_PYTHON_ROOT="$PY_ROOT"
cmake --build build -j "$(nproc)"
