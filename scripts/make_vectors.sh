#!/usr/bin/env bash
# Makes the frozen vectors in tests/vectors/ (scripts/make_vectors.py says what they are) in a
# throwaway environment: the package built from this checkout, with the old libraries pinned,
# so that what made the classic data is on record in the manifest.
#
# Usage: bash scripts/make_vectors.sh [--force | --add]
# Existing vectors are kept unless --force is given: replacing them is a format break, and
# the commit that does it must say so. --add keeps them and adds the missing vectors of a
# newer format, made with the stored keys.
#
# Environment:
#   PYTHON  a CPython 3.14 to build the environment with (default: the one behind .venv)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="${PYTHON:-$here/.venv/bin/python}"
# Refused here too, before a throwaway environment is built for nothing.
if [ -n "$(ls -A "$here/tests/vectors" 2>/dev/null)" ] && [[ " $* " != *" --force "* && " $* " != *" --add "* ]]; then
    echo "make_vectors: tests/vectors already holds vectors; replacing them is a format break (--force)" >&2
    exit 1
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/halcyra-vectors.XXXXXX")"
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    rsa==4.9.1 pycryptodome==4.5.0 cryptography==51.0.1 "$here"
# From the temporary directory, so that the installed package is imported, not the source tree.
cd "$work"
"$work/venv/bin/python" "$here/scripts/make_vectors.py" --out "$here/tests/vectors" "$@"
