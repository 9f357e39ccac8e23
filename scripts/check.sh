#!/usr/bin/env bash
# The reliability gates, beyond the ordinary test command:
#   1. the test suite, with the larger hypothesis profile and the full tamper sweep;
#   2. the reference-leak check and the suite, under a debug CPython (--with-pydebug);
#   3. the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Each variant is built into its own directory under build/ and staged as a package directory
# of its own, so the modules a step imports are the ones it means to test.
#
# Usage: bash scripts/check.sh [fast|leaks|sanitize|all]   (default: all)
# Prepares the interpreters and virtual environments with scripts/bootstrap.sh --debug first.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
what="${1:-all}"
case "$what" in fast|leaks|sanitize|all) ;; *) echo "check: unknown step $what" >&2; exit 2 ;; esac

say() { printf '[check] %s\n' "$*"; }
elapsed() { printf '%dm%02ds' $(( $1 / 60 )) $(( $1 % 60 )); }
# The counts the tests report (hostile calls, mutants, operations under load), a file per step,
# printed at the end.
figures="$here/build/check-figures"
rm -rf "$figures"
mkdir -p "$figures"
# The packaging tests build wheels from the sources and never import the modules under test;
# the ordinary test command runs them. So it runs the tests of database and cluster stores,
# whose servers and clusters drive the same conversions as the directory store's tests here.
pytest_args=(-q -p no:cacheprovider -m "not packaging and not stores")
# Tests of the command line and the migration engine test code that never loads the native
# modules: the debug interpreter and the sanitizers have nothing of ours to check there, so
# those two steps leave them to the first.
native_args=(-q -p no:cacheprovider -m "not packaging and not stores and not engine")

# stage NAME PYTHON CMAKE_ARGS...: builds both modules with PYTHON's headers into build/NAME
# and lays out build/NAME/pkg/halcyra_pqc (the core's sources and those modules); prints the
# directory to put on PYTHONPATH.
stage() {
    local name="$1" python="$2"; shift 2
    local build="$here/build/$name"
    if [ ! -f "$build/build.ninja" ]; then
        PATH="$here/.venv/bin:$PATH" cmake -S "$here" -B "$build" -G Ninja \
            -DPython_EXECUTABLE="$python" "$@" >/dev/null
    fi
    PATH="$here/.venv/bin:$PATH" cmake --build "$build" >&2
    local pkg="$build/pkg/halcyra_pqc"
    rm -rf "$build/pkg"
    mkdir -p "$pkg"
    # Copies, not links: the tests find the package's directory through __file__, resolved.
    # The sources, stubs and marker files, subpackages included, without the development
    # build's modules.
    (cd "$here/python/halcyra_pqc" && find . -type f ! -name '*.so' ! -path '*/__pycache__/*' \
        -exec cp --parents {} "$pkg/" \;)
    cp "$build"/*.so "$pkg/"
    printf '%s\n' "$build/pkg"
}

run_fast_profile() {
    say "test suite with the large hypothesis profile and the full tamper sweep"
    local pkg
    pkg="$(stage check-release "$here/.venv/bin/python" -DCMAKE_BUILD_TYPE=Release)"
    HALCYRA_HYPOTHESIS_PROFILE=check HALCYRA_TAMPER=full HALCYRA_LOAD_SECONDS=20 HALCYRA_KILL_RUNS=15 \
    HALCYRA_CRASH_POINTS=4 \
    HALCYRA_FIGURES="$figures/large-profile" \
        PYTHONPATH="$pkg" "$here/.venv/bin/python" -m pytest "${pytest_args[@]}"
}

run_leaks() {
    say "reference-leak check under the debug interpreter"
    local pkg
    pkg="$(stage check-debug "$here/.venv-debug/bin/python" -DCMAKE_BUILD_TYPE=Debug)"
    PYTHONPATH="$pkg" "$here/.venv-debug/bin/python" "$here/scripts/leak_check.py"
    # A Debug build under the debug interpreter also arms the interpreter's own assertions in
    # every API call the modules make.
    say "test suite under the debug interpreter"
    HALCYRA_FIGURES="$figures/debug-interpreter" PYTHONPATH="$pkg" \
        "$here/.venv-debug/bin/python" -m pytest "${native_args[@]}"
}

run_sanitized() {
    say "test suite against the AddressSanitizer + UndefinedBehaviorSanitizer build"
    local pkg logs
    pkg="$(stage check-asan "$here/.venv/bin/python" -DCMAKE_BUILD_TYPE=Debug -DHALCYRA_SANITIZE=ON)"
    logs="$here/build/check-asan/reports"
    rm -rf "$logs"
    mkdir -p "$logs"
    # The interpreter is not instrumented, so the runtimes are preloaded; PYTHONMALLOC=malloc
    # sends every object through ASan's allocator, so a use after free of a Python object is
    # caught. The interpreter's own never-freed allocations are not the modules' leaks (the
    # leak check counts those), so leak detection is off. Reports go to files as well, since a
    # child interpreter's report would otherwise only reach its captured stderr. The sanitizer
    # runtime refuses libraries opened with RTLD_DEEPBIND, which PyCryptodome (used by tests
    # of the classic-key path) asks for unless told not to. A larger hypothesis profile runs
    # here too, since a memory error may need one value out of many; a fifth of the release
    # build's, so that the whole of CI stays well within its time.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=1:log_path=$logs/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    HALCYRA_HYPOTHESIS_PROFILE=sanitize \
    PYCRYPTODOME_DISABLE_DEEPBIND=1 PYTHONMALLOC=malloc PYTHONPATH="$pkg" HALCYRA_FIGURES="$figures/sanitizers" \
        "$here/.venv/bin/python" -m pytest "${native_args[@]}"
    if compgen -G "$logs/*" >/dev/null; then
        say "sanitizer reports:"
        cat "$logs"/*
        return 1
    fi
    say "no sanitizer report"
}

start=$SECONDS
bash "$here/scripts/bootstrap.sh" --debug --no-install
case "$what" in
    fast) run_fast_profile ;;
    leaks) run_leaks ;;
    sanitize) run_sanitized ;;
    all) run_fast_profile; run_leaks; run_sanitized ;;
esac
"$here/.venv/bin/python" - "$figures" <<'SUM'
import json, pathlib, sys
for run in sorted(pathlib.Path(sys.argv[1]).iterdir()):
    for line in run.read_text(encoding="utf-8").splitlines():
        for name, count in sorted(json.loads(line).items()):
            print(f"[check] {run.name}: {name}: {count:g}")
SUM
say "done in $(elapsed $(( SECONDS - start )))"
