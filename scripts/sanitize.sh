#!/usr/bin/env bash
# Sanitizer runs:
#   address  the extension built with AddressSanitizer and UndefinedBehaviorSanitizer
#            (build/asan), installed into a venv of its own that borrows the packages
#            of .venv-std, and the whole pytest suite run against it with libasan
#            preloaded into the standard interpreter;
#   thread   the C++ tests built with ThreadSanitizer (build/tsan) and run with a
#            pool of four workers.
# Usage: scripts/sanitize.sh [address|thread]...   (default: both)
# Exits non-zero when a stage fails or any sanitizer reported anything. Run
# scripts/setup.sh first (it makes .venv-std with cmake, ninja, numpy, pandas,
# pytest and hypothesis).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
VENV_STD="$ROOT/.venv-std"
CMAKE="$VENV_STD/bin/cmake"
NINJA="$VENV_STD/bin/ninja"

log() { printf '[sanitize] %s\n' "$*"; }
die() { log "error: $*"; exit 2; }

[ -x "$VENV_STD/bin/python" ] || die ".venv-std is missing: run scripts/setup.sh"
[ -x "$CMAKE" ] && [ -x "$NINJA" ] || die "cmake/ninja missing from .venv-std: run scripts/setup.sh"

configure() {  # configure DIR ARGS...: configures once, then reuses the build tree
  local dir="$1"; shift
  [ -f "$dir/build.ninja" ] && return 0
  "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

# Prints every report file in DIR; fails when there is one.
reports_in() {
  local dir="$1" found=0 f
  for f in "$dir"/*; do
    [ -s "$f" ] || continue
    found=1
    log "report $f:"
    cat "$f"
  done
  [ "$found" -eq 0 ]
}

address() {
  local dir=build/asan venv=build/asan/venv reports=build/asan/reports
  configure "$dir" -DPython_EXECUTABLE="$VENV_STD/bin/python" -DPOROSA_SANITIZE=address,undefined \
    -DPOROSA_BUILD_TESTS=OFF || return
  "$CMAKE" --build "$dir" -j2 || return

  # A venv of the same interpreter whose own site-packages holds the sanitized
  # module (so it shadows the one installed in .venv-std), with .venv-std's
  # packages reachable through a .pth file.
  [ -x "$venv/bin/python" ] || "$VENV_STD/bin/python" -m venv --without-pip "$venv" || return
  local site std_site
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])') || return
  std_site=$("$VENV_STD/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])') || return
  echo "$std_site" >"$site/porosa-std-packages.pth"
  rm -f "$site"/porosa*.so
  cp "$dir"/porosa*.so "$site/" || return
  # The stubs go beside it, as an install puts them.
  mkdir -p "$site/porosa-stubs"
  cp src/porosa.pyi "$site/porosa.pyi" && cp src/porosa.pyi "$site/porosa-stubs/__init__.pyi" || return

  # libstdc++ is preloaded as well: the interpreter does not link it, and the
  # runtime must find the real __cxa_throw when it starts, not at the first throw.
  local libasan libstdcxx
  libasan=$(g++ -print-file-name=libasan.so)
  libstdcxx=$(g++ -print-file-name=libstdc++.so.6)
  [ -f "$libasan" ] && [ -f "$libstdcxx" ] || { log "libasan or libstdc++ not found through g++"; return 1; }
  rm -rf "$reports" && mkdir -p "$reports"

  # detect_leaks=0: CPython does not free everything at exit. PYTHONMALLOC=malloc
  # gives every Python object its own allocation, so a use after free of one
  # shows up too. Reports go to files, so those of child interpreters count.
  log "pytest under AddressSanitizer and UndefinedBehaviorSanitizer"
  local rc=0
  LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc POROSA_SANITIZED=1 \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$ROOT/$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$ROOT/$reports/ubsan" \
    "$venv/bin/python" -P -m pytest tests/python -q -p no:cacheprovider || rc=$?
  reports_in "$reports" || rc=1
  return "$rc"
}

# C++ tests that exhaust memory on purpose: a sanitizer's allocator aborts on a
# failed operator new where the normal one throws std::bad_alloc.
TSAN_SKIP='too_large'

thread() {
  local dir=build/tsan reports=build/tsan/reports
  configure "$dir" -DPOROSA_SANITIZE=thread -DPOROSA_BUILD_MODULE=OFF -DPOROSA_BUILD_TESTS=ON || return
  "$CMAKE" --build "$dir" -j2 || return
  rm -rf "$reports" && mkdir -p "$reports"

  # The pool keeps a failed step's exception_ptr and the last owner of the
  # step, often a worker, frees it; the reference count that orders this lives
  # in libstdc++, which is not instrumented, so the free looks unordered.
  local supp="$dir/suppressions.txt"
  printf '%s\n' 'race:std::__exception_ptr::exception_ptr::_M_release' >"$supp"

  # The harness takes one name filter: every test by its full name, except
  # those above; running them one by one also keeps each report on its own.
  local names rc=0 name n=0
  names=$(sed -n 's/^TEST(\([A-Za-z0-9_]*\), *\([A-Za-z0-9_]*\)).*/\1.\2/p' tests/cpp/*.cpp | sort -u)
  log "C++ tests under ThreadSanitizer"
  for name in $names; do
    if [[ "$name" =~ $TSAN_SKIP ]]; then log "skipped $name (exhausts memory on purpose)"; continue; fi
    n=$((n + 1))
    POROSA_THREADS=4 TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/$supp:log_path=$ROOT/$reports/tsan" \
      "$dir/porosa_core_tests" "$name" >"$reports/out.txt" 2>&1 || { rc=1; log "FAILED $name"; cat "$reports/out.txt"; }
  done
  rm -f "$reports/out.txt"
  log "$n C++ tests run under ThreadSanitizer"
  reports_in "$reports" || rc=1
  return "$rc"
}

stages=("$@")
[ ${#stages[@]} -eq 0 ] && stages=(address thread)
failed=0
for s in "${stages[@]}"; do
  case "$s" in
    address|thread) ;;
    *) die "unknown stage '$s' (address or thread)" ;;
  esac
  t0=$SECONDS
  if "$s"; then log "$s: clean ($((SECONDS - t0)) s)"; else log "$s: FAILED ($((SECONDS - t0)) s)"; failed=1; fi
done
exit "$failed"
