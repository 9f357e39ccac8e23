#!/usr/bin/env bash
# Runs every benchmark in one go and writes docs/performance.md, docs/performance.json and
# docs/performance.png:
#
#     bash bench/run.sh            # the full run (an hour or more on two busy cores)
#     bash bench/run.sh --fast     # a quick check of the harness; its figures mean little
#
# The benchmark environment bench/.venv is made (or reused) with scripts/bootstrap.sh, from
# the project's CPython 3.14, with the package built from this checkout, then the peers and
# the measuring tools are added from bench/requirements.txt.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$here/bench/.venv"
HALCYRA_VENV="$venv" bash "$here/scripts/bootstrap.sh"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$here/bench/requirements.txt"
# Run from bench/ so the package is the installed build, never the checkout's python/ tree.
cd "$here/bench"
exec "$venv/bin/python" -m runner "$@"
