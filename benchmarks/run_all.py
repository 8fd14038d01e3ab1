"""Runs every benchmark of this folder (bench_*.py) in turn, each in its own process.

    PYTHONPATH=python .venv-3.9/bin/python benchmarks/run_all.py [--quick]
"""
import glob
import os
import subprocess
import sys

here = os.path.dirname(os.path.abspath(__file__))
failed = 0
for path in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
    print(f"== {os.path.basename(path)}", flush=True)
    failed |= subprocess.run([sys.executable, path, *sys.argv[1:]]).returncode != 0
sys.exit(1 if failed else 0)
