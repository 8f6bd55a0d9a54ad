#!/usr/bin/env bash
# Draws the documentation figures docs/missingness.png and docs/study.png:
#   1. .venv-docs from the machine's python3 (created once),
#   2. docs/requirements.txt plus the build tools pinned in
#      scripts/requirements-std.txt (skipped when the lists are unchanged),
#   3. porosa built from this checkout into it (build/py-docs, incremental;
#      skipped when its sources are unchanged),
#   4. docs/missingness.py and docs/study.py, into docs/ or into the directory
#      given (e.g. scripts/figure.sh /tmp).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

# This project's machines have 2 cores: never build wider than that.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
# Matplotlib keeps its font cache in the venv, not in the user's home.
export MPLCONFIGDIR="$ROOT/.venv-docs/.matplotlib"

VENV=.venv-docs
PY="$VENV/bin/python"
log() { printf '[figure] %s\n' "$*"; }
sha() { sha256sum | cut -d' ' -f1; }

# The build tools porosa is built with, at the pins the other venvs use.
build_tools() { grep -E '^(scikit-build-core|cmake|ninja)==' scripts/requirements-std.txt; }

# A digest of everything that goes into the installed package: the extension
# module and porosa_kit.
source_digest() {
  local paths=(CMakeLists.txt pyproject.toml src python)
  [ -d cmake ] && paths+=(cmake)
  find "${paths[@]}" -type f ! -name '*.pyc' ! -name '*.sw?' ! -name '*~' -print0 2>/dev/null \
    | LC_ALL=C sort -z | xargs -0 sha256sum | sha
}

if [ ! -x "$PY" ]; then
  log "$VENV: creating from $(command -v python3) ($(python3 -V))"
  rm -rf "$VENV"
  python3 -m venv "$VENV"
fi

stamp="$VENV/.porosa-requirements.sha256"
key=$( { cat docs/requirements.txt; build_tools; "$PY" -V; } | sha)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
  log "$VENV: requirements up to date"
else
  log "$VENV: pip install -r docs/requirements.txt and the build tools"
  # shellcheck disable=SC2046  # one argument per pinned tool
  "$PY" -m pip install -q --only-binary=:all: -r docs/requirements.txt $(build_tools)
  echo "$key" >"$stamp"
fi

stamp="$VENV/.porosa-install.sha256"
key=$( { source_digest; cat "$VENV/.porosa-requirements.sha256"; } | sha)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] \
   && "$PY" -P -c 'import porosa' 2>/dev/null; then
  log "$VENV: porosa up to date"
else
  rm -f "$stamp"
  log "$VENV: building porosa (build/py-docs, incremental)"
  t0=$SECONDS
  "$PY" -m pip install -q --no-build-isolation --no-deps \
    --config-settings=build-dir=build/py-docs .
  echo "$key" >"$stamp"
  log "$VENV: porosa installed ($((SECONDS - t0)) s)"
fi

# Each script's own default writes into docs/; a directory argument takes both.
if [ $# -gt 0 ]; then
  "$PY" -P docs/missingness.py "$1/missingness.png"
  "$PY" -P docs/study.py "$1/study.png"
else
  "$PY" -P docs/missingness.py
  "$PY" -P docs/study.py
fi
