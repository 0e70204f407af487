#!/usr/bin/env bash
# Set up the project: a CPython 3.14 (and its debug build), the virtual
# environment at .venv/ with the pinned tools, and the six modules built into it.
#
#   scripts/setup.sh            interpreter + .venv + build
#   scripts/setup.sh --no-build interpreter + .venv with the tools, no modules
#                               (what scripts/build-dist needs to make a release)
#   KELVO_PYTHON=/path/python3.14 scripts/setup.sh   use that interpreter
#
# When no python3.14 is on PATH, one is assembled from Debian unstable's binary
# packages under ~/.cache/kelvo-mcp/cpython314, using a private apt state so the
# system's own package sources and installed packages are never touched.
set -euo pipefail

build=1
case "${1:-}" in
  --no-build) build=0 ;;
  "") ;;
  *) printf 'usage: scripts/setup.sh [--no-build]\n' >&2; exit 2 ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${KELVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvo-mcp}
root=$cache/cpython314/root
libdir=$root/usr/lib/x86_64-linux-gnu

log() { printf '== %s\n' "$*" >&2; }

packages=(libc6 libgcc-s1 libpython3.14-minimal python3.14-minimal libpython3.14-stdlib
  libpython3.14 python3.14 python3.14-venv python3.14-dev libpython3.14-dev libssl3t64
  libexpat1 zlib1g libbz2-1.0 libdb5.3t64 libffi8 liblzma5 libncursesw6 libreadline8t64
  libsqlite3-0 libtinfo6 libuuid1 libzstd1 libmpdec4 python3-pip-whl python3-setuptools-whl
  python3.14-dbg libpython3.14-dbg)

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
  if [ -x "$root/usr/bin/python3.14" ] && [ -x "$root/usr/bin/python3.14d" ] \
     && [ -f "$cache/cpython314/.done" ]; then
    return
  fi
  need_patchelf
  local apt=$cache/cpython314/apt debs=$cache/cpython314/debs
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
  log "fetching CPython 3.14 packages from Debian unstable (private apt state)"
  apt-get "${opts[@]}" update >/dev/null
  (cd "$debs" && apt-get "${opts[@]}" download "${packages[@]}" >/dev/null)
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$root"; done
  for bin in python3.14 python3.14d; do
    # Two separate calls: one combined call produced a binary that crashes.
    patchelf --force-rpath --set-rpath "$libdir" "$root/usr/bin/$bin"
    patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" "$root/usr/bin/$bin"
  done
  "$root/usr/bin/python3.14" -c 'import ssl, sqlite3, venv' \
    || { log "assembled interpreter does not start"; exit 1; }
  touch "$cache/cpython314/.done"
}

find_python() {
  if [ -n "${KELVO_PYTHON:-}" ]; then printf '%s' "$KELVO_PYTHON"; return; fi
  if command -v python3.14 >/dev/null; then command -v python3.14; return; fi
  assemble_python
  printf '%s' "$root/usr/bin/python3.14"
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
make_venv "$py" "$here/.venv"
# All but zig, which scripts/zig-toolchain keeps in one place per machine.
grep -vE '^ziglang==' "$here/requirements-dev.txt" >"$here/.venv/requirements-dev.txt"
"$here/.venv/bin/python" -m pip install -q --disable-pip-version-check -r "$here/.venv/requirements-dev.txt"
# The host stand-ins (tool catalogue, prompts, runtime errors, in-memory engine,
# the walkthrough) join the kelvo_mcp namespace in this venv only; they are
# never part of the built package.
site=$("$here/.venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
printf '%s\n' "$here/host" >"$site/kelvo_host_standins.pth"
if [ "$build" -eq 0 ]; then
  log "ready without the modules: $here/.venv/bin/python"
  exit 0
fi
log "building the modules into .venv"
# CMake needs the Debian multiarch include root for pyconfig.h.
"$here/.venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --no-deps -e "$here" -Cbuild-dir="$here/build/{wheel_tag}" \
  -Ccmake.define.KELVO_TEST_PROBE=ON
"$here/.venv/bin/python" -c 'import kelvo_mcp.lexicon' \
  && log "ready: $here/.venv/bin/python"
