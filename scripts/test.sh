#!/usr/bin/env bash
# The whole test suite: setup (so a fresh clone works), the C++ unit tests of
# the native core, then the Python tests in each environment of the
# compatibility matrix: the free-threaded interpreter (.venv-ft) and the
# standard one (.venv-std) with the newest NumPy and pandas, and the standard
# one with NumPy 1.x and pandas 2.x (.venv-np1); last, the sdist and a wheel
# built from it for each interpreter (scripts/package.sh). Every stage runs even
# when an earlier one failed; the exit status is non-zero if any stage failed.
#
#   scripts/test.sh [--busy]
#
# --busy runs the same stages on a loaded machine: two extra processes spin on
# the CPU from start to end, as other work on a user's machine or a shared CI
# runner would, and the suite must pass all the same.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"

BUSY=0
for arg in "$@"; do
  case "$arg" in
    --busy) BUSY=1 ;;
    *) echo "usage: scripts/test.sh [--busy]" >&2; exit 2 ;;
  esac
done

# The spinners end with the script, however it ends: success, a failed stage,
# Ctrl-C or a kill. They ignore SIGINT as background jobs, so only this stops them.
SPINNERS=()
stop_spinners() {
  [ "${#SPINNERS[@]}" -eq 0 ] && return
  kill "${SPINNERS[@]}" 2>/dev/null
  wait "${SPINNERS[@]}" 2>/dev/null
  SPINNERS=()
}
if [ "$BUSY" -eq 1 ]; then
  trap stop_spinners EXIT
  trap 'stop_spinners; exit 130' INT
  trap 'stop_spinners; exit 143' TERM
  for _ in 1 2; do
    ( while :; do :; done ) &
    SPINNERS+=("$!")
  done
  printf 'busy: two processes spin on the CPU for the whole run (pids %s)\n' "${SPINNERS[*]}"
fi

STAGES=() RESULTS=()
record() { STAGES+=("$1"); RESULTS+=("$2"); }
banner() { printf '\n==== %s ====\n' "$*"; }

# run_stage NAME COMMAND...: runs the command, records its outcome and time.
run_stage() {
  local name="$1"; shift
  banner "$name"
  local t0=$SECONDS rc=0
  "$@" || rc=$?
  if [ "$rc" -eq 0 ]; then record "$name" "ok ($((SECONDS - t0)) s)"
  else record "$name" "FAILED (exit $rc, $((SECONDS - t0)) s)"; fi
}

# The first of the venvs' tools, else the system's.
tool() {
  local t
  for t in .venv-ft/bin/"$1" .venv-std/bin/"$1"; do [ -x "$t" ] && { echo "$ROOT/$t"; return; }; done
  command -v "$1"
}

cpp_tests() {
  local cmake ninja dir=build/cpp-tests
  cmake=$(tool cmake) || { echo "no cmake found"; return 1; }
  ninja=$(tool ninja) || { echo "no ninja found"; return 1; }
  if [ ! -f "$dir/build.ninja" ]; then
    "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
      -DPOROSA_BUILD_MODULE=OFF -DPOROSA_BUILD_TESTS=ON || return
  fi
  "$cmake" --build "$dir" -j "$CMAKE_BUILD_PARALLEL_LEVEL" || return
  "$dir/porosa_core_tests"
}

# pytest_in VENV: runs the Python tests against the porosa installed there, on
# PYTEST_WORKERS processes (pytest-xdist). A worker that runs out of tests
# takes pending ones from another's queue (worksteal; conftest.py puts the
# slowest tests at the head of each worker's share). PYTHONSAFEPATH (-P for
# the workers too) keeps the working directory off sys.path, so a stray build
# of the module in the checkout cannot shadow the installed one.
# mypy has no compiled build for the free-threaded interpreter, so
# .venv-std's checks the other environments' packages (POROSA_MYPY).
pytest_in() {
  local py="$1/bin/python" mypy="$ROOT/.venv-std/bin/python"
  [ -x "$py" ] || { echo "$1 is missing"; return 1; }
  [ -x "$mypy" ] || mypy=""
  POROSA_MYPY="${POROSA_MYPY-$mypy}" PYTHONSAFEPATH=1 "$py" -m pytest tests/python -q -n "${PYTEST_WORKERS:-2}" --dist worksteal
}

run_stage setup scripts/setup.sh
run_stage cpp-tests cpp_tests
run_stage pytest-ft pytest_in .venv-ft
run_stage pytest-std pytest_in .venv-std
run_stage pytest-np1 pytest_in .venv-np1
run_stage packaging scripts/package.sh

banner summary
[ "$BUSY" -eq 1 ] && echo "(--busy: two processes spinning on the CPU throughout)"
failed=0
for i in "${!STAGES[@]}"; do
  printf '%-11s %s\n' "${STAGES[$i]}" "${RESULTS[$i]}"
  case "${RESULTS[$i]}" in ok*) ;; *) failed=$((failed + 1)) ;; esac
done
printf 'stages: %d passed, %d failed\n' $(( ${#STAGES[@]} - failed )) "$failed"
[ "$failed" -eq 0 ]
