"""Makes the package and the examples importable, here and in the worker
processes a test starts (which import them as this process does)."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PATHS = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "examples")]
for path in reversed(PATHS):
    sys.path.insert(0, path)
os.environ["PYTHONPATH"] = os.pathsep.join(PATHS + [os.environ.get("PYTHONPATH", "")])
