#!/usr/bin/env bash
# Packaging as a user meets it: an sdist of the checkout, then from that sdist a
# wheel for each interpreter, built by plain `pip wheel` in an isolated build
# environment (scikit-build-core, NumPy, CMake and Ninja fetched by pip), then
# the checks of scripts/check_package.py on each. Needs scripts/setup.sh first.
# The build environment takes NumPy as a wheel: the newest NumPy may have no
# wheel yet for the free-threaded interpreter, and pip would spend minutes
# compiling it (the install sections of the README and the guide tell users
# the same, for pandas too).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ONLY_BINARY=numpy

OUT=build/package
rm -rf "$OUT"
mkdir -p "$OUT/sdist"

log() { printf '[package] %s\n' "$*"; }

log "sdist"
.venv-std/bin/python -c 'import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])' "$OUT/sdist" >/dev/null
sdist=$(ls "$OUT"/sdist/porosa-*.tar.gz)
.venv-std/bin/python scripts/check_package.py sdist "$sdist"

for name in ft std; do
  py=".venv-$name/bin/python"
  log "$name: pip wheel from the sdist ($("$py" -V))"
  t0=$SECONDS
  "$py" -m pip wheel -q --no-deps -w "$OUT/$name" "$sdist"
  log "$name: built in $((SECONDS - t0)) s"
  "$py" scripts/check_package.py wheel "$OUT/$name"/porosa-*.whl
done
