#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 from Debian's source package (suite trixie)
# and installs it into a cache outside the checkout. Prints the interpreter's path.
# Rebuilds only when the cached interpreter is missing or the source version changed.
set -euo pipefail

CACHE="${POROSA_CACHE:-$HOME/.cache/porosa}"
SUITE=trixie
PKG=python3.13
mkdir -p "$CACHE"

log() { printf '[python-ft] %s\n' "$*" >&2; }

# The mirror URI comes from the machine's own apt sources, so no host is named here.
mirror_uri() {
  local uri=""
  if compgen -G "/etc/apt/sources.list.d/*.sources" >/dev/null; then
    uri=$(awk '/^URIs:/ {print $2}' /etc/apt/sources.list.d/*.sources | grep -v -e security -e '^$' | head -n1)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1=="deb" {for (i=2;i<=NF;i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list | grep -v security | head -n1)
  fi
  [ -n "$uri" ] || { log "no Debian mirror found in /etc/apt"; exit 1; }
  printf '%s\n' "$uri"
}

# A private apt configuration: its own sources list, lists and cache; the
# machine's apt state is left alone.
apt_private() {
  local tool="$1" dir="$2"; shift 2
  "$tool" -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/parts" \
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" \
    -o Debug::NoLocking=1 "$@"
}

fetch_source() {
  local apt_dir="$CACHE/apt"
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  local opts="[signed-by=$keyring]"
  [ -f "$keyring" ] || opts="[trusted=yes]"
  echo "deb-src $opts $(mirror_uri) $SUITE main" >"$apt_dir/sources.list"
  apt_private apt-get "$apt_dir" update >&2
  local version
  version=$(apt_private apt-cache "$apt_dir" showsrc "$PKG" 2>/dev/null | awk '/^Version:/ {print $2; exit}')
  [ -n "$version" ] || { log "cannot find source package $PKG"; exit 1; }
  printf '%s\n' "$version"
}

install_build_deps() {
  local need=()
  for p in build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev xz-utils; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    log "installing build dependencies: ${need[*]}"
    local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get -q update >&2 && $sudo apt-get -q install -y "${need[@]}" >&2
  fi
}

main() {
  local stamp="$CACHE/python-ft.version"
  # A cached build is reused without touching the network when it runs.
  if [ -f "$stamp" ] && [ -z "${POROSA_REFRESH:-}" ]; then
    local prefix="$CACHE/$(cat "$stamp")"
    if "$prefix/bin/python3.13t" -c 'import sys; assert not sys._is_gil_enabled()' 2>/dev/null; then
      echo "$prefix/bin/python3.13t"; return
    fi
  fi
  install_build_deps
  local version; version=$(fetch_source)
  local name="python3.13t-$version"
  local prefix="$CACHE/$name"
  if [ -x "$prefix/bin/python3.13t" ]; then
    echo "$name" >"$stamp"; echo "$prefix/bin/python3.13t"; return
  fi
  log "building $PKG $version with --disable-gil (a few minutes)"
  work=$(mktemp -d "$CACHE/build.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && apt_private apt-get "$CACHE/apt" source --download-only "$PKG=$version" >&2)
  local orig; orig=$(ls "$work"/python3.13_*.orig.tar.* | head -n1)
  tar -xf "$orig" -C "$work"
  local src; src=$(find "$work" -maxdepth 1 -type d -name 'Python-3.13*' | head -n1)
  (cd "$src" && ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 \
     && make -j"$(nproc)" >"$work/make.log" 2>&1 && make install >"$work/install.log" 2>&1) \
    || { log "build failed; last lines of the logs:"; tail -n 30 "$work"/*.log >&2; exit 1; }
  "$prefix/bin/python3.13t" -c 'import sys, ssl, ctypes, zlib; assert not sys._is_gil_enabled()'
  echo "$name" >"$stamp"
  echo "$prefix/bin/python3.13t"
}

main "$@"
