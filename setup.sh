#!/usr/bin/env bash
# Installs the Debian packages the build needs, finds CPython 3.13, configures and
# builds into build/. Run again, it only rebuilds what changed. ./setup.sh --help says more.

# Started by sh: the rest needs bash.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail
cd "$(dirname "$(readlink -f -- "${BASH_SOURCE[0]}")")"

BUILD=${ZELMO_BUILD_DIR:-build}
LOG=$BUILD/setup.log
REMEMBERED=$BUILD/python-interpreter

usage() {
  cat <<EOF
usage: ./setup.sh [TARGET...]    install what is missing, configure, build TARGETs (default: all)
       ./setup.sh --find-python  print the Python 3.13 interpreter the build uses, and exit
       ./setup.sh --help

Installs the missing Debian packages (apt-get), finds CPython 3.13 with its C headers,
configures build/ with CMake and Ninja when it is not configured yet, and builds with
one progress line; the whole output goes to build/setup.log. Two runs at once take
turns: the second waits for the first.

CPython 3.13 is looked for, in turn, in
  \$ZELMO_PYTHON_ROOT        the prefix of an installation (holding bin/python3.13)
  build/python-interpreter  the one build/ was configured with
  ~/.pyenv/versions/3.13*   newest first (or \$PYENV_ROOT/versions/3.13*)
  python3.13 on the PATH
Environment: ZELMO_PYTHON_ROOT, ZELMO_BUILD_DIR (build folder, default build),
ZELMO_JOBS (parallel jobs, default: the number of processors), ZELMO_INSTALL=no (leave
the Debian packages and locales alone, for machines where someone else installs them).
EOF
}

say() { printf '%s\n' "$*" >&2; }

# ---- Finding Python 3.13 ------------------------------------------------------------------

# Prints "VERSION HEADERS EXECUTABLE" of the interpreter $1 (HEADERS: 1 when Python.h is
# installed); fails when $1 does not run.
probe_python() {
  "$1" -c 'import os, sys, sysconfig
h = os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print("%d.%d %d %s" % (sys.version_info[0], sys.version_info[1], h, sys.executable))' \
    2>/dev/null
}

# Sets PYTHON to $1 when it is a CPython 3.13 with its headers; otherwise sets WHY.
accept_python() {
  local probe version="" headers="" executable=""
  [ -x "$1" ] || { WHY="$1 does not exist"; return 1; }
  probe=$(probe_python "$1" || true)
  read -r version headers executable <<< "$probe" || true
  if [ -z "${version:-}" ]; then
    WHY="$1 does not run"
  elif [ "$version" != 3.13 ]; then
    WHY="$1 is Python $version"
  elif [ "$headers" != 1 ]; then
    WHY="$1 has no C headers (Python.h; on Debian: apt-get install python3.13-dev)"
  else
    PYTHON=$executable
    return 0
  fi
  return 1
}

# The interpreter the build folder was configured with, if any: the one setup.sh
# remembered, else the one under the CMake cache's ZELMO_PYTHON_ROOT.
remembered_python() {
  local root
  if [ -s "$REMEMBERED" ]; then
    cat "$REMEMBERED"
  elif root=$(configured_root) && [ -n "$root" ]; then
    printf '%s\n' "$root/bin/python3.13"
  fi
  return 0
}

configured_root() {
  [ -f "$BUILD/CMakeCache.txt" ] && sed -n 's/^ZELMO_PYTHON_ROOT:[A-Z]*=//p' "$BUILD/CMakeCache.txt"
}

# Sets PYTHON and FROM (where it was found), or prints what was looked at and fails.
find_python() {
  local looked=() candidate versions=()
  PYTHON="" FROM="" WHY=""
  if [ -n "${ZELMO_PYTHON_ROOT:-}" ]; then
    for candidate in "$ZELMO_PYTHON_ROOT/bin/python3.13" "$ZELMO_PYTHON_ROOT/bin/python3"; do
      if accept_python "$candidate"; then FROM="ZELMO_PYTHON_ROOT"; return 0; fi
      if [ -e "$candidate" ]; then break; fi
      WHY="it has no bin/python3.13 nor bin/python3"
    done
    say "setup.sh: ZELMO_PYTHON_ROOT=$ZELMO_PYTHON_ROOT holds no usable Python 3.13: $WHY."
    say "Set ZELMO_PYTHON_ROOT to the prefix of a CPython 3.13 installation (the folder"
    say "holding bin/python3.13), or unset it to let setup.sh look for one."
    return 1
  fi
  looked+=("ZELMO_PYTHON_ROOT: not set")
  candidate=$(remembered_python)
  if [ -n "$candidate" ]; then
    if accept_python "$candidate"; then FROM="as $BUILD/ was configured"; return 0; fi
    looked+=("the one $BUILD/ was configured with: $WHY")
  fi
  local pyenv=${PYENV_ROOT:-$HOME/.pyenv}
  local found
  found=$(compgen -G "$pyenv/versions/3.13*" | sort -V -r || true)
  [ -z "$found" ] || mapfile -t versions <<< "$found"
  for candidate in "${versions[@]}"; do
    if accept_python "$candidate/bin/python3.13"; then FROM="pyenv"; return 0; fi
    looked+=("$WHY")
  done
  [ ${#versions[@]} -gt 0 ] || looked+=("$pyenv/versions/3.13*: none")
  if candidate=$(command -v python3.13); then
    if accept_python "$candidate"; then FROM="python3.13 on the PATH"; return 0; fi
    looked+=("python3.13 on the PATH: $WHY")
  else
    looked+=("python3.13 on the PATH: none")
  fi
  say "setup.sh: found no CPython 3.13 with its C headers. Looked at:"
  for candidate in "${looked[@]}"; do say "  $candidate"; done
  say "Install one (README.md, \"Python 3.13\", says how on Debian 12 and 13), or point at"
  say "one: ZELMO_PYTHON_ROOT=/prefix/of/python3.13 ./setup.sh"
  return 1
}

# ---- Logged steps with one line on the terminal -----------------------------------------

TTY=0
[ -t 1 ] && TTY=1

# Shows where the whole log is after its last lines; for failed steps.
show_log_tail() {
  say "$1; the last lines of $LOG:"
  tail -n 40 "$LOG" >&2
  say "The whole log: $LOG"
}

# Reads ninja's output, appends it to the log and turns its "[n/m]" lines into one
# updating line on a terminal, or into a line per quarter otherwise.
progress() {
  local label=$1 line done=0 total=0 percent shown=-1
  while IFS= read -r line; do
    printf '%s\n' "$line" >> "$LOG"
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    done=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    percent=$(( done * 100 / total ))
    if [ "$TTY" = 1 ]; then
      printf '\r\033[K%s: %d/%d (%d%%)' "$label" "$done" "$total" "$percent"
    elif (( percent / 25 > shown / 25 )); then
      shown=$percent
      printf '%s: %d/%d (%d%%)\n' "$label" "$done" "$total" "$percent"
    fi
  done
  [ "$TTY" = 1 ] && [ "$total" -gt 0 ] && printf '\r\033[K'
  return 0
}

# Builds the targets $2... with ninja, reporting as label $1.
build() {
  local label=$1 start=$SECONDS status=0
  shift
  printf '\n== ninja %s\n' "$*" >> "$LOG"
  NINJA_STATUS='[%f/%t] ' ninja -C "$BUILD" -j "${ZELMO_JOBS:-$(nproc)}" "$@" 2>&1 {LOCK_FD}>&- | progress "$label" || status=$?
  if [ "$status" -ne 0 ]; then
    show_log_tail "setup.sh: the build failed"
    exit 1
  fi
  if tail -n 1 "$LOG" | grep -q '^ninja: no work to do'; then
    echo "$label: up to date"
  else
    echo "$label: done in $(( SECONDS - start )) s"
  fi
}

# Runs a command with its output in the log; on failure shows the log's tail.
logged() {
  local what=$1 status=0
  shift
  printf '\n== %s\n' "$*" >> "$LOG"
  "$@" >> "$LOG" 2>&1 {LOCK_FD}>&- || status=$?
  if [ "$status" -ne 0 ]; then
    show_log_tail "setup.sh: $what failed"
    exit 1
  fi
}

interrupted() {
  [ "$TTY" = 1 ] && printf '\n'
  say "interrupted"
  exit 130
}

# ---- Steps ------------------------------------------------------------------------------

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpcre2-dev libdbus-1-dev dbus dbus-bin libxml2-dev libxslt1-dev libtidy-dev
  libyajl-dev libminizip-dev picojson-dev libgmp-dev libmpfr-dev libmsgpack-dev libmsgpack-cxx-dev libabsl-dev libssl-dev
  clang-14 libclang-rt-14-dev unicode-data openssl iproute2 locales xsltproc libxml2-utils
  libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc
)

install_packages() {
  local installed package missing=()
  installed=" $(dpkg-query -W -f='${Status} ${Package}\n' "${PACKAGES[@]}" 2>/dev/null |
                awk '$3 == "installed" { printf "%s ", $4 }' || true) "
  for package in "${PACKAGES[@]}"; do
    [[ $installed == *" $package "* ]] || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "Installing ${#missing[@]} Debian packages (apt-get; log: $LOG)"
    logged "apt-get update" $sudo apt-get update -q
    logged "installing the packages" $sudo env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q -o DPkg::Lock::Timeout=300 "${missing[@]}"
  fi
  # Real locales for the localized formatting tests.
  if [ "$(id -u)" -eq 0 ] && ! locale -a 2>/dev/null | grep -qi '^it_IT.utf8$'; then
    sed -i -E 's/^# ?(it_IT\.UTF-8 UTF-8)/\1/; s/^# ?(en_US\.UTF-8 UTF-8)/\1/' /etc/locale.gen
    logged "generating the locales" locale-gen
  fi
}

# Configures the build folder when it is not configured yet or Python changed; else
# Ninja runs CMake again itself when a CMakeLists.txt or the set of sources changed.
configure() {
  local root configured
  root=$(dirname "$(dirname "$PYTHON")")
  configured=$(configured_root || true)
  if [ -f "$BUILD/build.ninja" ] && [ "$configured" = "$root" ]; then
    printf '%s\n' "$PYTHON" > "$REMEMBERED"
    return 0
  fi
  echo "Python 3.13: $PYTHON ($FROM)"
  if [ -n "$configured" ] && [ "$configured" != "$root" ]; then
    echo "The build changes interpreter (it was configured with $configured): everything is rebuilt."
  fi
  echo "Configuring $BUILD/ (log: $LOG)"
  logged "configuring" cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZELMO_PYTHON_ROOT="$root"
  printf '%s\n' "$PYTHON" > "$REMEMBERED"
}

# Only one setup.sh at a time builds in one folder: a second one waits its turn.
take_lock() {
  local holder
  exec {LOCK_FD}>>"$BUILD/.setup.lock"
  if ! flock -n "$LOCK_FD"; then
    holder=$(cat "$BUILD/.setup.lock" 2>/dev/null || true)
    say "Another ./setup.sh${holder:+ (pid $holder)} is building $BUILD/: waiting for it to finish."
    flock "$LOCK_FD"
  fi
  echo $$ > "$BUILD/.setup.lock"
}

main() {
  case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    --find-python)
      [ $# -eq 1 ] || { usage >&2; exit 2; }
      # Found: its path alone, nothing on stderr, for PYTHON=$(./setup.sh --find-python).
      find_python || exit 1
      printf '%s\n' "$PYTHON"
      exit 0 ;;
    -*) say "setup.sh: unknown option $1"; usage >&2; exit 2 ;;
  esac
  trap interrupted INT
  mkdir -p "$BUILD"
  take_lock
  : > "$LOG"
  [ "${ZELMO_INSTALL:-yes}" = no ] || install_packages
  find_python || exit 1
  configure
  case "$*" in
    "") build "Building everything into $BUILD/" all ;;
    demo) build "Building the demo's module and server into $BUILD/" demo ;;
    *) build "Building $* into $BUILD/" "$@" ;;
  esac
}

main "$@"
