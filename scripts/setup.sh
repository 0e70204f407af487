#!/usr/bin/env bash
# Set up the project: a CPython 3.14 (and its debug build), the virtual
# environment at .venv/ with the pinned tools, and the six modules built into it.
#
#   scripts/setup.sh                 interpreter + .venv + build
#   scripts/setup.sh --no-build      interpreter + .venv with the tools, no modules
#                                    (what scripts/build-dist needs to make a release)
#   scripts/setup.sh --python 3.15   the same for CPython 3.15, in .venv-3.15/
#                                    (combines with --no-build)
#   KELVO_PYTHON=/path/python3.14 scripts/setup.sh   use that interpreter (3.14 only)
#
# When no python3.X is on PATH, one is assembled from Debian unstable's binary
# packages under ~/.cache/kelvo-mcp/cpython3X, using a private apt state so the
# system's own package sources and installed packages are never touched.
set -euo pipefail

usage() { printf 'usage: scripts/setup.sh [--no-build] [--python 3.14|3.15]\n' >&2; exit 2; }
build=1
version=3.14
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0; shift ;;
    --python) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    *) usage ;;
  esac
done
case "$version" in 3.14|3.15) ;; *) printf 'setup.sh: no CPython %s here (3.14, 3.15)\n' "$version" >&2; exit 2 ;; esac
nodot=${version/./}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KELVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvo-mcp}
root=$cache/cpython$nodot/root
libdir=$root/usr/lib/x86_64-linux-gnu
# 3.14 is the default, with .venv and its debug build (the reliability checks
# run under it); another version gets a venv of its own and no debug build.
if [ "$version" = 3.14 ]; then venv=$here/.venv; else venv=$here/.venv-$version; fi

log() { printf '== %s\n' "$*" >&2; }

packages=(libc6 libgcc-s1 "libpython$version-minimal" "python$version-minimal" "libpython$version-stdlib"
  "libpython$version" "python$version" "python$version-venv" "python$version-dev" "libpython$version-dev"
  libssl3t64 libexpat1 zlib1g libbz2-1.0 libdb5.3t64 libffi8 liblzma5 libncursesw6 libreadline8t64
  libsqlite3-0 libtinfo6 libuuid1 libzstd1 libmpdec4 python3-pip-whl python3-setuptools-whl)
bins=("python$version")
if [ "$version" = 3.14 ]; then
  packages+=(python3.14-dbg libpython3.14-dbg)
  bins+=(python3.14d)
fi

archive_uri() {
  # The machine's own Debian mirror, so the download goes where the system's does.
  local uri
  uri=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '{print $2}' | grep -v security | head -n1 || true)
  if [ -z "$uri" ]; then
    uri=$(grep -hE '^\s*deb\s' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' \
          | grep -v security | head -n1 || true)
  fi
  printf '%s' "${uri:-http://deb.debian.org/debian}"
}

need_patchelf() {
  command -v patchelf >/dev/null && return
  log "installing patchelf from the system's own sources"
  local sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -q patchelf >/dev/null 2>&1 \
    || { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q patchelf >/dev/null; }
}

assemble_python() {
  local bin
  if [ -f "$cache/cpython$nodot/.done" ]; then
    for bin in "${bins[@]}"; do [ -x "$root/usr/bin/$bin" ] || break; done
    [ -x "$root/usr/bin/$bin" ] && return
  fi
  need_patchelf
  local apt=$cache/cpython$nodot/apt debs=$cache/cpython$nodot/debs
  rm -rf "$root" "$debs"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$debs" "$root"
  cat >"$apt/sid.sources" <<SRC
Types: deb
URIs: $(archive_uri)
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  local opts=(-o "Dir::Etc::SourceList=$apt/sid.sources" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
              -o Dir::State::status=/dev/null -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q)
  log "fetching CPython $version packages from Debian unstable (private apt state)"
  apt-get "${opts[@]}" update >/dev/null
  (cd "$debs" && apt-get "${opts[@]}" download "${packages[@]}" >/dev/null)
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$root"; done
  for bin in "${bins[@]}"; do
    # Two separate calls: one combined call produced a binary that crashes.
    patchelf --force-rpath --set-rpath "$libdir" "$root/usr/bin/$bin"
    patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" "$root/usr/bin/$bin"
  done
  "$root/usr/bin/python$version" -c 'import ssl, sqlite3, venv' \
    || { log "assembled interpreter does not start"; exit 1; }
  touch "$cache/cpython$nodot/.done"
}

find_python() {
  if [ "$version" = 3.14 ] && [ -n "${KELVO_PYTHON:-}" ]; then printf '%s' "$KELVO_PYTHON"; return; fi
  if command -v "python$version" >/dev/null; then command -v "python$version"; return; fi
  assemble_python
  printf '%s' "$root/usr/bin/python$version"
}

# Make a venv at $2 from interpreter $1, with pip from the wheel Debian ships
# when the interpreter has no ensurepip of its own.
make_venv() {
  local py=$1 venv=$2
  [ -x "$venv/bin/python" ] && "$venv/bin/python" -c 'import pip' 2>/dev/null && return
  rm -rf "$venv"
  if "$py" -m venv "$venv" 2>/dev/null && "$venv/bin/python" -c 'import pip' 2>/dev/null; then
    return
  fi
  rm -rf "$venv"
  "$py" -m venv --without-pip "$venv"
  local whl
  whl=$(ls "$root"/usr/share/python-wheels/pip-*.whl 2>/dev/null | head -n1 || true)
  [ -n "$whl" ] || { log "no pip wheel found for $py"; exit 1; }
  "$venv/bin/python" "$whl/pip" install -q --no-index "$whl"
}

py=$(find_python)
log "interpreter: $py ($("$py" -c 'import sys; print(sys.version.split()[0])'))"
make_venv "$py" "$venv"
# All but zig, which scripts/zig-toolchain keeps in one place per machine.
grep -vE '^ziglang==' "$here/requirements-dev.txt" >"$venv/requirements-dev.txt"
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$venv/requirements-dev.txt"
# The host stand-ins (tool catalogue, prompts, runtime errors, in-memory engine,
# the walkthrough) join the kelvo_mcp namespace in this venv only; they are
# never part of the built package.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
printf '%s\n' "$here/host" >"$site/kelvo_host_standins.pth"
if [ "$build" -eq 0 ]; then
  log "ready without the modules: $venv/bin/python"
  exit 0
fi
log "building the modules into ${venv#"$here"/}"
# CMake needs the Debian multiarch include root for pyconfig.h.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --no-deps -e "$here" -Cbuild-dir="$here/build/{wheel_tag}" \
  -Ccmake.define.KELVO_TEST_PROBE=ON
"$venv/bin/python" -c 'import kelvo_mcp.lexicon' \
  && log "ready: $venv/bin/python"
