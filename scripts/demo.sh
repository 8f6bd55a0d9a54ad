#!/usr/bin/env bash
# Sets up the checkout (scripts/setup.sh), then runs the demo on the bundled
# data set (demo/clinic.csv) under the free-threaded interpreter.
# Extra arguments go to the demo, e.g. scripts/demo.sh --rate 0.3 --seed 11
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

scripts/setup.sh
setup_rc=$?
if [ ! -x .venv-ft/bin/python ]; then
  echo "[demo] setup did not create .venv-ft; cannot run the demo" >&2
  exit 1
fi
[ "$setup_rc" -eq 0 ] || echo "[demo] setup reported errors (exit $setup_rc); running the demo anyway" >&2
echo
.venv-ft/bin/python -P demo/run_demo.py "$@"
demo_rc=$?
[ "$setup_rc" -eq 0 ] || exit "$setup_rc"
exit "$demo_rc"
