#!/usr/bin/env bash
# Builds what the demo session needs (./setup.sh demo: the module and the stand-in
# business server), runs the session, then builds the rest (tests, tools, benchmarks) so
# that ctest finds everything. Arguments go to examples/demo.py (--help lists them).
# The demo starts and stops the server itself; Ctrl-C ends it cleanly (status 130).

# Started by sh: the rest needs bash.
if [ -z "${BASH_VERSION:-}" ]; then exec bash "$0" "$@"; fi
set -euo pipefail
cd "$(dirname "$(readlink -f -- "${BASH_SOURCE[0]}")")"
BUILD=${ZELMO_BUILD_DIR:-build}

./setup.sh demo
PYTHON=$(./setup.sh --find-python 2>/dev/null)
echo
# In the foreground, so that Ctrl-C reaches it; it says "interrupted" and exits 130.
PYTHONDONTWRITEBYTECODE=1 "$PYTHON" examples/demo.py --build "$BUILD" "$@"
echo
./setup.sh
echo "Run the tests: ctest --test-dir $BUILD --output-on-failure --no-tests=error -j \"\$(nproc)\""
