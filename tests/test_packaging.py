"""The version has one source, and what is released is in the changelog."""
import importlib.metadata
import pathlib
import re

import orvane_master

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_one_version_everywhere():
    version = orvane_master.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?", version)
    pyproject = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    assert re.search(r'^dynamic = \["version"\]', pyproject, re.M)
    assert not re.search(r"^version\s*=", pyproject, re.M)
    source = re.search(r'^metadata\.version\.input = "(.+)"', pyproject, re.M).group(1)
    assert f'__version__ = "{version}"' in (ROOT / source).read_text(encoding="utf-8")
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert f"## [{version}]" in changelog
    if pathlib.Path(orvane_master.__file__).resolve().parents[1] != ROOT / "python":
        # An installed package: its metadata was read from the same line.
        assert importlib.metadata.version("orvane-master") == version
