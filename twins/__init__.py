"""The two native module bodies written out as plain Python: the twins.

Each twin performs the statements the native module performs, in the same order, looking up
the same module globals at call time, and lays every statement on the line that the native
module's traceback records give it (blank and comment lines fill the gaps), so a twin and its
native module can be compared call by call. tests/test_twins.py does that; the layer
benchmarks time the twins as the plain-Python baseline.

The twins are development material, not part of the package: the wheel carries only
python/halcyra_pqc. mirelock's twin keeps its RSA object off the native module's
sys.modules entry, so importing a twin never changes what the package serves.
"""
