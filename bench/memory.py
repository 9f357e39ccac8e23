"""Memory: the peak of one operation, and resident memory over a million calls.

- Peak per operation: tracemalloc's peak of the Python heap during one call (after a warm-up
  call, but for key generation), for every end-to-end operation of every side (the peers'
  32-byte limit applies).
  Memory that OpenSSL or PyCryptodome's C code takes from malloc directly is not seen.
- Resident memory: every native layer call, failing ones included, a million times over the
  trivial core, and 10,000 real encrypt/decrypt round trips, with the process's resident set
  size sampled as it goes. A flat line means nothing is kept per call.

Run by runner.py: `python memory.py --keys DIR --output FILE [--calls N]`.
"""

import argparse
import gc
import json
import tracemalloc
from pathlib import Path

import psutil

import e2e
import layer


def peak_per_operation(keys: Path) -> list[dict]:
    rows = []
    for op, size in e2e.operations():
        call = getattr(e2e, op.make)(e2e.Keys(keys), size)
        # A warm-up call, except for key generation: one `rsa` key takes up to a minute.
        if op.group == "ops":
            call()
        gc.collect()
        tracemalloc.start()
        call()
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        rows.append({"operation": op.operation, "side": op.side, "peak_bytes": peak})
    return rows


def rss() -> int:
    return psutil.Process().memory_info().rss


def resident_over_calls(calls: int, samples: int = 10) -> list[dict]:
    rows = []
    step = calls // samples // layer.UNROLL
    for case in layer.CASES:
        run = layer.build_timer(case, "native")
        run(step)
        gc.collect()
        start = rss()
        trace = []
        for _ in range(samples):
            run(step)
            trace.append(rss())
        rows.append(
            {
                "module": case.module,
                "call": case.name,
                "calls": step * samples * layer.UNROLL,
                "rss_start": start,
                "rss_trace": trace,
                "growth_bytes": trace[-1] - start,
            }
        )
    return rows


def resident_real_core(keys: Path, rounds: int, samples: int = 10) -> dict:
    import halcyra_pqc.ferrovan as ferrovan

    public, private = e2e.Keys(keys).hybrid()
    pub, priv = ferrovan.PublicKey(public), ferrovan.PrivateKey(private)
    message = b"r" * 1024
    assert ferrovan.decrypt(ferrovan.encrypt(message, pub), priv) == message
    gc.collect()
    start, trace = rss(), []
    for _ in range(samples):
        for _ in range(rounds // samples):
            ferrovan.decrypt(ferrovan.encrypt(message, pub), priv)
        trace.append(rss())
    return {
        "call": "ferrovan encrypt + decrypt, 1 KiB, real core",
        "calls": rounds,
        "rss_start": start,
        "rss_trace": trace,
        "growth_bytes": trace[-1] - start,
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--keys", required=True, type=Path)
    parser.add_argument("--output", required=True, type=Path)
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=10_000)
    args = parser.parse_args()
    # The real core first: the layer runs rebind the modules' globals to the trivial one.
    result = {
        "peak": peak_per_operation(args.keys),
        "resident_real": resident_real_core(args.keys, args.rounds),
    }
    result["resident"] = resident_over_calls(args.calls)
    args.output.write_text(json.dumps(result, indent=1))


if __name__ == "__main__":
    main()
