#!/usr/bin/env bash
# The benchmark suite (not part of CI):
#   1. scripts/setup.sh (builds and installs porosa into .venv-ft),
#   2. bench/run.py under .venv-ft: W1-W5 and W9, porosa against NumPy baselines,
#      then bench/nan_input.py: W7, every mode on data holding NaN,
#      bench/threads.py: W8, other threads during a call (also under .venv-std),
#      bench/kit.py: W10, porosa_kit against porosa's own calls,
#      bench/stops.py: W13, how soon Ctrl-C and a fork stop a call or a study,
#      and bench/scale.py (under .venv-std): W12, a study serially, with
#      n_jobs=2 and on a Dask cluster,
#   3. .venv-bench: the peer packages of bench/requirements-peers.txt and porosa
#      built from this checkout (build/py-bench), on the free-threaded
#      interpreter, or on the standard python3 if the peers do not install there,
#   4. bench/peers.py under .venv-bench: W6, porosa against the peers.
# Arguments go to every script: --scale S, --repeat N, --timeout SECONDS and
# --only LIST (workloads W1..W10; each script ignores the others' names).
# The tables go to standard output, setup and install logs to standard error.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

VENV=.venv-bench
log() { printf '[bench] %s\n' "$*" >&2; }

base_of() { "$1" -c 'import os, sys; print(os.path.realpath(sys._base_executable))' 2>/dev/null; }
sha() { sha256sum | cut -d' ' -f1; }

# The same inputs as setup.sh's digest: everything that goes into the module.
source_digest() {
  local paths=(CMakeLists.txt pyproject.toml src python)
  [ -d cmake ] && paths+=(cmake)
  find "${paths[@]}" -type f ! -name '*.pyc' ! -name '*.sw?' ! -name '*~' -print0 2>/dev/null \
    | LC_ALL=C sort -z | xargs -0 sha256sum | sha
}

# try_venv INTERPRETER REQFILE: makes $VENV from INTERPRETER with the project's
# pinned requirements and the peers; reuses it when its stamp matches.
try_venv() {
  local py="$1" req="$2" stamp="$VENV/.bench-requirements.sha256" key want
  want=$(base_of "$py") || return 1
  key=$( { cat "$req" bench/requirements-peers.txt; echo "$want"; } | sha)
  if [ -x "$VENV/bin/python" ] && [ "$(base_of "$VENV/bin/python")" = "$want" ] \
     && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
    log "$VENV: reusing ($("$VENV/bin/python" -V))"; return 0
  fi
  log "$VENV: creating from $want, installing $(basename "$req") and the peers"
  rm -rf "$VENV"
  "$py" -m venv "$VENV" || return 1
  if "$VENV/bin/python" -m pip install -q --only-binary=:all: -r "$req" -r bench/requirements-peers.txt >&2; then
    echo "$key" >"$stamp"; return 0
  fi
  log "$VENV: the peers or the pinned requirements do not install on $want"
  return 1
}

make_bench_venv() {
  local pyft
  if pyft=$(scripts/build-python-ft.sh 2>/dev/null) && try_venv "$pyft" scripts/requirements-ft.txt; then
    return 0
  fi
  log "$VENV: falling back to the standard interpreter $(command -v python3)"
  try_venv "$(command -v python3)" scripts/requirements-std.txt
}

install_porosa() {
  local py="$VENV/bin/python" stamp="$VENV/.porosa-install.sha256" key
  key=$( { source_digest; base_of "$py"; } | sha)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] \
     && "$py" -P -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("porosa") is None)' 2>/dev/null; then
    log "$VENV: porosa up to date"; return 0
  fi
  rm -f "$stamp"
  log "$VENV: building porosa (build/py-bench, incremental)"
  if "$py" -m pip install -q --no-build-isolation --no-deps \
       --config-settings=build-dir=build/py-bench . >&2; then
    echo "$key" >"$stamp"
  else
    log "$VENV: porosa FAILED to build; removing any older install"
    "$py" -m pip uninstall -q -y porosa >/dev/null 2>&1 || true
    return 1
  fi
}

status=0
log "scripts/setup.sh"
scripts/setup.sh >&2 || { log "setup failed"; exit 1; }

echo "==== bench/run.py (.venv-ft) ===="
.venv-ft/bin/python bench/run.py "$@" || status=1

echo
echo "==== bench/nan_input.py (.venv-ft) ===="
# Its BLOCK rows count the words a call draws with a native replay tool.
CMAKE=.venv-ft/bin/cmake
[ -f build/cpp-tests/build.ninja ] || "$CMAKE" -S . -B build/cpp-tests -G Ninja \
  -DCMAKE_MAKE_PROGRAM="$ROOT/.venv-ft/bin/ninja" -DPOROSA_BUILD_MODULE=OFF >&2
"$CMAKE" --build build/cpp-tests --target porosa_block_words >&2 || status=1
.venv-ft/bin/python bench/nan_input.py "$@" || status=1

echo
echo "==== bench/threads.py (.venv-ft, .venv-std) ===="
.venv-ft/bin/python bench/threads.py "$@" || status=1

echo
echo "==== bench/kit.py (.venv-ft) ===="
.venv-ft/bin/python bench/kit.py "$@" || status=1

echo
echo "==== bench/stops.py (.venv-ft) ===="
.venv-ft/bin/python bench/stops.py "$@" || status=1

echo
echo "==== bench/scale.py (.venv-std: Dask has no free-threaded wheels) ===="
.venv-std/bin/python bench/scale.py || status=1

echo
echo "==== bench/peers.py ($VENV) ===="
if make_bench_venv; then
  install_porosa || status=1   # peers.py still runs and reports porosa's side as failed
  "$VENV/bin/python" bench/peers.py "$@" || status=1
else
  echo "peers not run: $VENV could not be set up (see the log above)"
  status=1
fi
exit "$status"
