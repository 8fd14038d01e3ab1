"""The guides in docs/ and the README stay true: their examples run, their JSON parses,
the names they cite exist.

Each guide's ```python blocks run in order in one namespace, in an interpreter of their
own (the examples install send handlers, reset the channel and inject services), from an
empty folder that must stay empty: an example runs from any folder and leaves nothing
behind. A block fenced ```python no-run is shown only. A failure reports the guide's own
line numbers.
"""
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import orvane_master
from orvane_master.business_layer.packages import handlers
from orvane_master.python_server.orvane import proxylink

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
GUIDES = sorted(p for p in DOCS.glob("*.md") if p.name != "README.md")
# Every document with examples: the maintainers' guide shows commands only.
WITH_EXAMPLES = [ROOT / "README.md"] + [g for g in GUIDES if g.name != "maintaining.md"]
FENCE = re.compile(r"^```([\w-]*)([^\n]*)\n(.*?)^```[ \t]*$", re.M | re.S)

# Runs the blocks of one guide; argv[1] is a JSON list of [first line, code].
RUNNER = """
import json, sys
guide, blocks = sys.argv[1], json.loads(sys.argv[2])
namespace = {"__name__": "__main__"}
for line, code in blocks:
    exec(compile("\\n" * (line - 1) + code, guide, "exec"), namespace)
"""


def blocks(path):
    text = path.read_text(encoding="utf-8")
    for match in FENCE.finditer(text):
        language, info, code = match.group(1), match.group(2).split(), match.group(3)
        yield language, info, code, text.count("\n", 0, match.start(3)) + 1


def runnable(path):
    return [(line, code) for language, info, code, line in blocks(path)
            if language == "python" and "no-run" not in info]


@pytest.mark.parametrize("guide", WITH_EXAMPLES, ids=lambda p: p.name)
def test_examples_run(guide, tmp_path):
    examples = runnable(guide)
    assert examples, f"{guide.name} has no runnable example"
    env = dict(os.environ)
    package_root = str(pathlib.Path(orvane_master.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    name = str(guide.relative_to(ROOT))
    result = subprocess.run([sys.executable, "-c", RUNNER, name, json.dumps(examples)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-6000:]
    assert not list(tmp_path.iterdir()), f"{name} left {sorted(p.name for p in tmp_path.iterdir())} behind"


def test_json_examples_parse_and_index_lists_every_guide():
    for guide in GUIDES:
        for language, _, code, line in blocks(guide):
            if language == "json":
                try:
                    json.loads(code)
                except ValueError as exc:
                    pytest.fail(f"{guide.name}:{line}: {exc}")
    index = (DOCS / "README.md").read_text(encoding="utf-8")
    linked = set(re.findall(r"\]\(([\w-]+\.md)\)", index))
    assert linked == {g.name for g in GUIDES}


COUNTS = {word: n for n, word in enumerate("two three four five six seven eight nine ten eleven twelve".split(), 2)}


def tables(path):
    """Each table of a guide as (the sentence that leads into it, if it ends in ':', its rows, its line)."""
    lines = path.read_text(encoding="utf-8").split("\n")
    for i, line in enumerate(lines):
        if line.startswith("|") and not lines[i - 1].startswith("|"):
            end = next((j for j in range(i, len(lines)) if not lines[j].startswith("|")), len(lines))
            rows = [[cell.strip() for cell in row.strip("|").split("|")] for row in lines[i + 2:end]]
            before = " ".join(lines[:i]).rstrip()
            yield re.split(r"[.!?] ", before)[-1] if before.endswith(":") else "", rows, i + 1


def test_tables_hold_what_the_text_and_the_module_say():
    # A count announced over a table ("four entry points:") is its number of rows.
    for guide in GUIDES:
        for lead, rows, line in tables(guide):
            counts = [COUNTS[w] for w in re.findall(r"[a-z]+", lead.lower()) if w in COUNTS]
            assert counts[-1:] in ([], [len(rows)]), f"{guide.name}:{line}: {lead!r} over {len(rows)} rows"
    # The fixed ids are those of the module's root proxies and its transaction.
    fixed = {}
    for _, rows, _ in tables(DOCS / "addin.md"):
        fixed.update((int(row[0]), (row[1], row[2].strip('"'))) for row in rows if row[0].isdigit())
    assert sorted(fixed) == list(range(7))
    for object_id, (shown, type_name) in fixed.items():
        root = re.search(r"`(\w+)", shown)
        if object_id == proxylink.UNIQUE_TRANSACTION_ID:
            assert root is None and type_name == "Transaction"
        else:
            proxy = getattr(proxylink, root.group(1))
            assert (proxy._internal_id, proxy._internal_typeName) == (object_id, type_name), shown


def test_cited_names_exist():
    # messaging.x, handlers.x or a quoted handle_x, OfficeJsX.y: every such name a guide cites is real.
    for guide in GUIDES + [DOCS / "README.md", ROOT / "README.md"]:
        text = guide.read_text(encoding="utf-8")
        for name in set(re.findall(r"\bmessaging\.(\w+)", text)):
            assert hasattr(proxylink.messaging, name), f"{guide.name}: messaging.{name}"
        for name in set(re.findall(r"`(handle_\w+|init_handlers)\b", text) + re.findall(r"\bhandlers\.(?!hpp\b|cpp\b)(\w+)", text)):
            assert hasattr(handlers, name), f"{guide.name}: {name}"
        for cls, name in set(re.findall(r"\b(Serializer|OfficeJs\w+)\.(\w+)", text)):
            assert hasattr(getattr(proxylink, cls), name), f"{guide.name}: {cls}.{name}"
