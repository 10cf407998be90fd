#!/usr/bin/env bash
# Installs what is needed and builds (./setup.sh, which does nothing it has done
# already), then runs the demo session against the stand-in business server. The demo
# starts and stops the server itself; this script kills it should the demo be stopped.
set -euo pipefail
cd "$(dirname "$0")"

./setup.sh

PY_ROOT="${ZELMO_PYTHON_ROOT:-/root/.pyenv/versions/3.13.0}"
PYTHON="$PY_ROOT/bin/python3"
[ -x "$PYTHON" ] || PYTHON=python3

# The demo runs in a process group of its own, so that whatever it started goes with it.
set -m
PYTHONDONTWRITEBYTECODE=1 "$PYTHON" examples/demo.py --build build "$@" &
demo=$!
trap 'kill -TERM -- "-$demo" 2>/dev/null || true' INT TERM EXIT
status=0
wait "$demo" || status=$?
trap - INT TERM EXIT
exit "$status"
