"""The host protocols of orvane_master.interfaces, as mypy sees them through the stubs.

One mypy run over tests/typecheck checks a small correct kernel and business
layer, the stand-ins of orvane_master.testing, and a file of hosts with one
mistake each (marked `# expect: A | B` on the line that must draw the error).
"""
import os
import pathlib
import re
import site
import subprocess
import sys
from collections import defaultdict

import pytest

import orvane_master

HOSTS = pathlib.Path(__file__).resolve().parent / "typecheck"
CORRECT = ["kernel_host.py", "business_host.py", "standins.py"]
BROKEN = "broken_hosts.py"
DIAGNOSTIC = re.compile(r"^(?P<file>[^:\s]+):(?P<line>\d+): (?P<level>error|note): (?P<text>.*)$")


def expectations():
    """(line number, expected texts) of every marked line of the broken hosts, as cases."""
    marked = []
    for number, line in enumerate((HOSTS / BROKEN).read_text().splitlines(), 1):
        code, sep, expected = line.partition("# expect: ")
        if sep and code.strip():
            marked.append(pytest.param(number, [part.strip() for part in expected.split("|")], id=f"line{number}"))
    return marked


@pytest.fixture(scope="module")
def diagnostics(tmp_path_factory):
    """{(file, line): [(level, text)]} of one mypy run over every host file."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    package_root = str(pathlib.Path(orvane_master.__file__).resolve().parents[1])
    # An in-place build is found through MYPYPATH; an installed package through
    # the interpreter's site-packages (which mypy refuses to see in MYPYPATH).
    if package_root not in {str(pathlib.Path(p).resolve()) for p in site.getsitepackages()}:
        env["MYPYPATH"] = package_root
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file=", "--no-error-summary", "--hide-error-context",
         "--no-pretty", "--no-color-output", "--cache-dir", str(tmp_path_factory.mktemp("mypy-cache")),
         *CORRECT, BROKEN],
        cwd=HOSTS, env=env, capture_output=True, text=True, timeout=600)
    found = defaultdict(list)
    for line in result.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        assert match, f"unexpected mypy output: {line}\n{result.stdout}{result.stderr}"
        found[(match["file"], int(match["line"]))].append((match["level"], match["text"]))
    assert found, f"mypy reported nothing, not even the broken hosts:\n{result.stdout}{result.stderr}"
    return found


def test_correct_hosts_and_the_standins_satisfy_the_protocols(diagnostics):
    elsewhere = {where: found for where, found in diagnostics.items() if where[0] != BROKEN}
    assert not elsewhere


@pytest.mark.parametrize("line, expected", expectations())
def test_each_broken_host_is_rejected_with_its_reason(diagnostics, line, expected):
    found = diagnostics.get((BROKEN, line), [])
    assert any(level == "error" for level, _ in found), f"line {line} passed mypy"
    text = "\n".join(t for _, t in found)
    missing = [e for e in expected if e not in text]
    assert not missing, f"line {line}: {missing} not in\n{text}"


def test_no_unmarked_line_of_the_broken_hosts_draws_an_error(diagnostics):
    marked = {case.values[0] for case in expectations()}
    stray = {where: found for where, found in diagnostics.items() if where[0] == BROKEN and where[1] not in marked}
    assert not stray
