#!/usr/bin/env bash
# Prepares everything the demonstration and the tests need, on a fresh machine or again:
#   1. a CPython 3.14 (given, found on PATH, cached, or built from source into a per-user cache),
#   2. the project's virtual environment .venv with the build and test dependencies,
#   3. the package itself, built from this checkout and installed into .venv.
#
# Environment:
#   PYTHON                   a CPython 3.14 interpreter to use instead of looking for one
#   HALCYRA_CPYTHON_TARBALL  CPython source tarball to build from (default: the one in
#                            ../shared/toolchain, checked against its SHA256SUMS)
#   HALCYRA_CACHE            cache directory (default: ~/.cache/halcyra-pqc)
#   HALCYRA_VENV             virtual environment directory (default: .venv in the checkout)
#
# Options:
#   --debug       also build (or reuse) a --with-pydebug CPython and make .venv-debug with it
#   --no-install  stop after the interpreter and the virtual environment's dependencies
set -euo pipefail
# Without this, `set -e` is off inside $(...), and a function whose output is captured goes on
# after its first error.
shopt -s inherit_errexit

CPYTHON_VERSION=3.14.7
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${HALCYRA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/halcyra-pqc}"
toolchain="$here/../shared/toolchain"
want_debug=0
install_project=1
for arg in "$@"; do
    case "$arg" in
        --debug) want_debug=1 ;;
        --no-install) install_project=0 ;;
        *) echo "bootstrap: unknown option $arg" >&2; exit 2 ;;
    esac
done

say() { printf '[bootstrap] %s\n' "$*"; }

# Temporary directories of the shell that made them (often a $(...) subshell, which has traps
# of its own), removed however it ends: an interruption ends it through exit, so that the
# removal runs then too.
temporary=()
remove_temporary() { [ ${#temporary[@]} -eq 0 ] || rm -rf "${temporary[@]}"; }
remove_on_exit() {
    temporary+=("$@")
    trap remove_temporary EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

is_cpython_314() {
    "$1" -c 'import sys, platform; sys.exit(0 if sys.version_info[:2] == (3, 14) and platform.python_implementation() == "CPython" else 1)' 2>/dev/null
}

build_deps=(build-essential pkg-config libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev
            libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libgdbm-dev)

ensure_build_deps() {
    local missing=()
    for pkg in "${build_deps[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "bootstrap: building CPython needs these Debian packages: ${missing[*]}" >&2
        echo "bootstrap: install them (sudo apt-get install ${missing[*]}) or set PYTHON to a CPython 3.14" >&2
        exit 1
    fi
    say "installing Debian build dependencies: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

source_tarball() {
    local tarball="${HALCYRA_CPYTHON_TARBALL:-$toolchain/python3.14_${CPYTHON_VERSION}.orig.tar.xz}"
    if [ ! -f "$tarball" ]; then
        echo "bootstrap: no CPython source at $tarball; set HALCYRA_CPYTHON_TARBALL or PYTHON" >&2
        exit 1
    fi
    local sums="$(dirname "$tarball")/SHA256SUMS"
    if [ -f "$sums" ] && grep -q " $(basename "$tarball")\$" "$sums"; then
        (cd "$(dirname "$tarball")" && grep " $(basename "$tarball")\$" SHA256SUMS | sha256sum -c --quiet -) || {
            echo "bootstrap: checksum mismatch for $tarball" >&2; exit 1; }
    elif [ -z "${HALCYRA_CPYTHON_TARBALL:-}" ]; then
        echo "bootstrap: no checksum for $tarball in $sums" >&2; exit 1
    else
        say "no SHA256SUMS entry for $(basename "$tarball"); using it as given" >&2
    fi
    printf '%s\n' "$tarball"
}

# build_cpython PREFIX EXTRA_CONFIGURE_FLAGS...
build_cpython() {
    local prefix="$1"; shift
    ensure_build_deps
    local tarball; tarball="$(source_tarball)"
    local work; work="$(mktemp -d "${TMPDIR:-/tmp}/halcyra-cpython.XXXXXX")"
    # Built under a temporary prefix and renamed, so an interrupted build never looks complete;
    # the interpreter finds its library relative to itself, so the rename is safe.
    remove_on_exit "$work" "$prefix.partial"
    say "building CPython $CPYTHON_VERSION into $prefix (takes a few minutes)"
    tar -xf "$tarball" -C "$work"
    local src; src="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -n 1)"
    [ -n "$src" ] || { echo "bootstrap: $tarball holds no Python-* source directory" >&2; exit 1; }
    # Each step only after the one before succeeded: `set -e` does not act inside a command
    # whose status is tested.
    (
        cd "$src" &&
        ./configure --prefix="$prefix.partial" --with-ensurepip=install "$@" &&
        make -j"$(nproc)" &&
        make install
    ) >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; echo "bootstrap: CPython build failed" >&2; exit 1; }
    rm -rf "$prefix"
    mv "$prefix.partial" "$prefix"
}

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        is_cpython_314 "$PYTHON" || { echo "bootstrap: PYTHON=$PYTHON is not CPython 3.14" >&2; exit 1; }
        command -v "$PYTHON" || printf '%s\n' "$PYTHON"
        return
    fi
    if command -v python3.14 >/dev/null 2>&1 && is_cpython_314 "$(command -v python3.14)"; then
        command -v python3.14
        return
    fi
    local prefix="$cache/cpython-$CPYTHON_VERSION"
    if ! is_cpython_314 "$prefix/bin/python3.14"; then
        build_cpython "$prefix" >&2
    fi
    printf '%s\n' "$prefix/bin/python3.14"
}

find_debug_python() {
    local prefix="$cache/cpython-$CPYTHON_VERSION-debug"
    if ! "$prefix/bin/python3.14" -c 'import sys; sys.exit(0 if hasattr(sys, "gettotalrefcount") else 1)' 2>/dev/null; then
        build_cpython "$prefix" --with-pydebug >&2
    fi
    printf '%s\n' "$prefix/bin/python3.14"
}

# make_venv PYTHON DIR
make_venv() {
    local python="$1" venv="$2"
    if ! is_cpython_314 "$venv/bin/python" || [ "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')" != "$("$python" -c 'import sys; print(sys.executable)')" ]; then
        say "creating virtual environment $venv"
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    say "installing build and test dependencies into $venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$here/requirements/dev.txt"
}

install_into() {
    local venv="$1"
    say "building and installing halcyra_pqc into $venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps "$here"
}

python="$(find_python)"
say "using $("$python" -c 'import sys; print(sys.version.split()[0], sys.executable)')"
venv="${HALCYRA_VENV:-$here/.venv}"
make_venv "$python" "$venv"
[ "$install_project" -eq 1 ] && install_into "$venv"

if [ "$want_debug" -eq 1 ]; then
    debug_python="$(find_debug_python)"
    say "using debug interpreter $debug_python"
    make_venv "$debug_python" "$here/.venv-debug"
    [ "$install_project" -eq 1 ] && install_into "$here/.venv-debug"
fi
say "ready: $venv/bin/python"
