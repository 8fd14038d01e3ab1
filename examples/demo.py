"""Runs every example session in this folder, in order."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
sessions = sorted(here.glob("*_session.py"))
for script in sessions:
    print(f"==== {script.stem} ====")
    sys.argv = [str(script)]
    runpy.run_path(str(script), run_name="__main__")
    print()
