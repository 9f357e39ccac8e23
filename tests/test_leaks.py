"""Leaks that an ordinary interpreter can see. The full reference-leak check needs a debug
interpreter and runs from scripts/check.sh (scripts/leak_check.py); what is here is the part
that counting memory blocks shows on any build."""

import json

from conftest import run_python


def test_importing_a_loaded_module_again_leaks_no_memory():
    # Each import after the first gets the loaded module back from the create step; the import
    # system gives it a new state block then, and the old one used to be lost every time.
    done = run_python("""
        import gc, importlib, json, sys
        import halcyra_pqc.ferrovan, halcyra_pqc.mirelock

        def reimport(times):
            for _ in range(times):
                for name in ("halcyra_pqc.ferrovan", "halcyra_pqc.mirelock"):
                    module = sys.modules.pop(name)
                    assert importlib.import_module(name) is module
            gc.collect()
            return sys.getallocatedblocks()

        before = reimport(50)
        print(json.dumps(reimport(500) - before))
    """)
    assert done.returncode == 0, done.stderr
    # 1000 re-imports: a block each would be 1000. Some come and go with the import system's
    # caches, more of them on a debug interpreter (about 130 seen there).
    assert json.loads(done.stdout) < 400
