#!/usr/bin/env bash
# Prepares the checkout for development, tests and the demo:
#   1. the C++ compiler (Debian packages; cmake and ninja come from pip),
#   2. the free-threaded CPython 3.13 (built once into ~/.cache/porosa),
#   3. .venv-ft (free-threaded), .venv-std (the machine's python3) and
#      .venv-np1 (python3 with NumPy 1.x and pandas 2.x),
#   4. pinned test and build dependencies in each venv,
#   5. porosa (the extension module and porosa_kit) built from this checkout
#      and installed into each venv (.venv-np1 gets the very wheel built for
#      .venv-std).
# Idempotent: what is already there is reused, and porosa is rebuilt
# incrementally (build/py-ft, build/py-std) only when its sources changed.
# Exits non-zero if any step failed; a venv whose porosa install failed is left
# without porosa, so nothing runs against a stale build.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

# This project's machines have 2 cores: never build wider than that.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '[setup] %s\n' "$*"; }
die() { log "error: $*"; exit 1; }
sudo_cmd() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

APT_UPDATED=""
apt_install() {
  log "installing Debian packages: $*"
  if [ -z "$APT_UPDATED" ]; then sudo_cmd apt-get -q update >/dev/null; APT_UPDATED=1; fi
  sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get -q install -y "$@" >/dev/null
}

ensure_system_deps() {
  local need=()
  for p in g++ make; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  command -v python3 >/dev/null || need+=(python3)
  [ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"
  # The standard interpreter needs venv and its C headers. Debian's python3
  # ships them separately; an interpreter built from source has both.
  need=()
  python3 -c 'import ensurepip, venv' 2>/dev/null || need+=(python3-venv)
  python3 -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || need+=(python3-dev)
  [ ${#need[@]} -eq 0 ] || apt_install "${need[@]}"
  log "system build tools present (g++ $(g++ -dumpfullversion), $(python3 -V))"
}

# The real path of the interpreter a python (or a venv's python) is based on.
base_of() { "$1" -c 'import os, sys; print(os.path.realpath(sys._base_executable))' 2>/dev/null; }

# make_venv DIR INTERPRETER: (re)creates DIR unless it is a working venv of INTERPRETER.
make_venv() {
  local dir="$1" py="$2" want have
  want=$(base_of "$py") || die "cannot run $py"
  if [ -x "$dir/bin/python" ]; then
    have=$(base_of "$dir/bin/python" || true)
    if [ "$have" = "$want" ]; then log "$dir: reusing ($("$dir/bin/python" -V))"; return; fi
    log "$dir: made by another interpreter (${have:-broken}), recreating"
    rm -rf "$dir"
  fi
  log "$dir: creating from $want"
  "$py" -m venv "$dir"
}

sha() { sha256sum | cut -d' ' -f1; }

# install_requirements VENV REQFILE: pip install, skipped when the stamp matches.
install_requirements() {
  local venv="$1" req="$2" stamp="$1/.porosa-requirements.sha256" key
  key=$( { cat "$req"; base_of "$venv/bin/python"; } | sha)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
    log "$venv: requirements up to date ($(basename "$req"))"; return
  fi
  log "$venv: pip install -r $(basename "$req")"
  "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$req"
  echo "$key" >"$stamp"
}

# A digest of everything that goes into the installed package: the extension
# module and porosa_kit.
source_digest() {
  local paths=(CMakeLists.txt pyproject.toml src python)
  [ -d cmake ] && paths+=(cmake)
  find "${paths[@]}" -type f ! -name '*.pyc' ! -name '*.sw?' ! -name '*~' -print0 2>/dev/null \
    | LC_ALL=C sort -z | xargs -0 sha256sum | sha
}

# install_stamped VENV KEY STEP...: runs STEP... to install porosa into VENV
# unless the stamp there holds KEY and porosa imports. Stamps KEY on success; on
# failure removes any older install, so nothing runs against a stale build.
install_stamped() {
  local venv="$1" key="$2" stamp="$1/.porosa-install.sha256"; shift 2
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ] \
     && "$venv/bin/python" -P -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("porosa") is None)' 2>/dev/null; then
    log "$venv: porosa up to date"; return 0
  fi
  rm -f "$stamp"
  local t0=$SECONDS
  if "$@"; then
    echo "$key" >"$stamp"
    log "$venv: porosa installed ($((SECONDS - t0)) s)"
  else
    log "$venv: porosa FAILED to build or install; removing any older install"
    "$venv/bin/python" -m pip uninstall -q -y porosa >/dev/null 2>&1 || true
    return 1
  fi
}

# install_porosa VENV NAME REQFILE: builds porosa into build/py-NAME and installs it.
install_porosa() {
  local venv="$1" name="$2" key
  key=$( { source_digest; cat "$3"; base_of "$venv/bin/python"; } | sha)
  install_stamped "$venv" "$key" build_and_install "$venv" "$name"
}
build_and_install() {
  log "$1: building porosa (build/py-$2, incremental)"
  "$1/bin/python" -m pip install -q --no-build-isolation --no-deps --config-settings=build-dir="build/py-$2" .
}

# install_wheel_from VENV FROM NAME REQFILE: installs into VENV the wheel that
# FROM's interpreter builds from its own build tree (build/py-NAME).
install_wheel_from() {
  local venv="$1" from="$2" name="$3" key
  key=$( { source_digest; cat "$4"; base_of "$venv/bin/python"; base_of "$from/bin/python"; } | sha)
  install_stamped "$venv" "$key" wheel_and_install "$venv" "$from" "$name"
}
wheel_and_install() {
  local dist="build/wheels/$3"
  log "$1: installing the wheel built by $2 (build/py-$3)"
  rm -rf "$dist"
  "$2/bin/python" -m pip wheel -q --no-build-isolation --no-deps --config-settings=build-dir="build/py-$3" -w "$dist" . \
    && "$1/bin/python" -m pip install -q --no-deps --force-reinstall "$dist"/porosa-*.whl
}

main() {
  local t0=$SECONDS failed=0
  ensure_system_deps
  log "free-threaded interpreter: scripts/build-python-ft.sh"
  local pyft
  pyft=$(scripts/build-python-ft.sh) || die "building the free-threaded interpreter failed"
  "$pyft" -c 'import sys; sys.exit(sys._is_gil_enabled())' || die "$pyft is not free-threaded"
  log "free-threaded interpreter: $pyft"

  make_venv .venv-ft "$pyft"
  make_venv .venv-std "$(command -v python3)"
  make_venv .venv-np1 "$(command -v python3)"
  install_requirements .venv-ft scripts/requirements-ft.txt
  install_requirements .venv-std scripts/requirements-std.txt
  install_requirements .venv-np1 scripts/requirements-np1.txt
  install_porosa .venv-ft ft scripts/requirements-ft.txt || failed=1
  install_porosa .venv-std std scripts/requirements-std.txt || failed=1
  install_wheel_from .venv-np1 .venv-std std scripts/requirements-np1.txt || failed=1

  if [ "$failed" -ne 0 ]; then
    log "done with errors in $((SECONDS - t0)) s"; return 1
  fi
  log "done in $((SECONDS - t0)) s"
}

main "$@"
