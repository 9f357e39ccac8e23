"""Runs every benchmark and writes docs/performance.md, .json and .png from that one run.

    python -m runner [--fast] [--report-only]

--fast runs pyperf's quick mode and fewer memory rounds, to check the harness; --report-only
rewrites the documents from the raw results of the last run (bench/.results).
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import sysconfig
import time
from importlib.metadata import version
from pathlib import Path

import report

HERE = Path(__file__).resolve().parent
RESULTS = HERE / ".results"
DOCS = HERE.parent / "docs"

# pyperf settings per suite: several worker processes, since the machine is shared.
LAYER_ARGS = ["--processes", "6", "--values", "3", "--warmups", "1"]
FAST_RSA_KEYGEN = ["--processes", "1", "--values", "1", "--warmups", "0", "--loops", "1"]
E2E_ARGS = {
    "ops": ["--processes", "3", "--values", "3", "--warmups", "1"],
    "keygen": ["--processes", "2", "--values", "5", "--warmups", "0", "--loops", "1"],
    # One `rsa` key takes from 20 seconds to a minute: three of them, in one process.
    "keygen-rsa": ["--processes", "1", "--values", "3", "--warmups", "0", "--loops", "1"],
}


def loadavg() -> list[float]:
    return [round(x, 2) for x in os.getloadavg()]


def run_suite(name: str, command: list[str], log: dict) -> None:
    output = RESULTS / f"{name}.json"
    output.unlink(missing_ok=True)
    started, load_before = time.time(), loadavg()
    print(f"[bench] {name}: {' '.join(command[1:])}", flush=True)
    subprocess.run([*command, "--quiet", "-o", str(output)], cwd=HERE, check=True)
    log[name] = {"seconds": round(time.time() - started), "load_before": load_before, "load_after": loadavg()}


def machine() -> dict:
    import cryptography
    import psutil
    import pyperf
    from cryptography.hazmat.backends.openssl.backend import backend

    cpu = next(
        (line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("model name")),
        platform.processor(),
    )
    os_name = platform.platform()
    release = Path("/etc/os-release")
    if release.exists():
        fields = dict(line.split("=", 1) for line in release.read_text().splitlines() if "=" in line)
        os_name = f"{fields.get('PRETTY_NAME', '').strip(chr(34))}, kernel {platform.release()}"

    return {
        "cpu": cpu,
        "logical_cpus": os.cpu_count(),
        "memory_gib": round(psutil.virtual_memory().total / 2**30, 1),
        "os": os_name,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "python_build": sysconfig.get_config_var("CONFIG_ARGS") or "",
        "python_cflags": sysconfig.get_config_var("OPT") or "",
        "cryptography": cryptography.__version__,
        "openssl": backend.openssl_version_text(),
        "pyperf": pyperf.__version__,
        "rsa": version("rsa"),
        "pycryptodome": version("pycryptodome"),
        "halcyra_pqc": version("halcyra-pqc"),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fast", action="store_true", help="a quick check of the harness")
    parser.add_argument("--report-only", action="store_true", help="rewrite the documents from the last run")
    args = parser.parse_args()
    RESULTS.mkdir(exist_ok=True)
    run_log_path = RESULTS / "run.json"
    if not args.report_only:
        keys = RESULTS / "keys"
        import e2e

        print("[bench] preparing keys (an `rsa` 3072-bit key takes up to a minute)", flush=True)
        e2e.prepare(keys)
        fast = ["--fast"] if args.fast else []
        log = {"started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "fast": args.fast, "machine": machine(), "suites": {}}
        python = sys.executable
        run_suite("layer", [python, "layer.py", *(fast or LAYER_ARGS)], log["suites"])
        for group, settings in E2E_ARGS.items():
            group_args = settings if not args.fast else FAST_RSA_KEYGEN if group == "keygen-rsa" else fast
            run_suite(f"e2e-{group}", [python, "e2e.py", "--group", group, "--keys", str(keys), *group_args], log["suites"])
        memory_args = ["--calls", "100000", "--rounds", "500"] if args.fast else []
        started, load_before = time.time(), loadavg()
        print("[bench] memory", flush=True)
        subprocess.run(
            [python, "memory.py", "--keys", str(keys), "--output", str(RESULTS / "memory.json"), *memory_args],
            cwd=HERE,
            check=True,
        )
        log["suites"]["memory"] = {"seconds": round(time.time() - started), "load_before": load_before, "load_after": loadavg()}
        log["finished"] = time.strftime("%Y-%m-%d %H:%M:%S %Z")
        run_log_path.write_text(json.dumps(log, indent=1))
    report.write(RESULTS, json.loads(run_log_path.read_text()), DOCS)
    print(f"[bench] wrote {DOCS / 'performance.md'}", flush=True)


if __name__ == "__main__":
    main()
