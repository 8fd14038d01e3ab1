"""Builds the tiny pure-Python wheels in examples/distributions/.

A wheel is a zip file holding the package's modules and a .dist-info folder
with METADATA, WHEEL and RECORD. The files are written with fixed dates, so
running this again gives the same bytes:

    python examples/build_distributions.py [folder]
"""
import base64
import hashlib
import pathlib
import sys
import zipfile

WHEELS = [
    # (name, version, summary, extras, requirements, module source)
    ("pebble_math", "0.9.0", "Small arithmetic helpers", [], [],
     "def add(a, b):\n    return a + b\n"),
    ("pebble_math", "1.0.0", "Small arithmetic helpers", ["fast", "plot"], [],
     "def add(a, b):\n    return a + b\n\n\ndef mean(values):\n    return sum(values) / len(values)\n"),
    ("pebble_math", "1.1.0b1", "Small arithmetic helpers", ["fast", "plot", "stats"], [],
     "def add(a, b):\n    return a + b\n"),
    ("pebble_text", "0.2.0", "Text helpers built on pebble_math", [], ["pebble_math>=1.0"],
     "from pebble_math import mean\n\n\ndef average_length(words):\n    return mean([len(w) for w in words])\n"),
]


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def build_wheel(folder: pathlib.Path, name: str, version: str, summary: str, extras, requires, source: str) -> pathlib.Path:
    dist_info = f"{name}-{version}.dist-info"
    metadata = [f"Metadata-Version: 2.1", f"Name: {name.replace('_', '-')}", f"Version: {version}",
                f"Summary: {summary}"]
    metadata += [f"Requires-Dist: {r}" for r in requires]
    metadata += [f"Provides-Extra: {e}" for e in extras]
    files = {
        f"{name}/__init__.py": f'__version__ = "{version}"\n\n\n{source}',
        f"{dist_info}/METADATA": "\n".join(metadata) + "\n",
        f"{dist_info}/WHEEL": "Wheel-Version: 1.0\nGenerator: build_distributions\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = [_record_line(path, text.encode()) for path, text in files.items()]
    files[f"{dist_info}/RECORD"] = "\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n"
    target = folder / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as zf:
        for path, text in files.items():
            info = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, text)
    return target


def build_all(folder: pathlib.Path) -> list:
    folder.mkdir(parents=True, exist_ok=True)
    return [build_wheel(folder, *spec) for spec in WHEELS]


if __name__ == "__main__":
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent / "distributions"
    for path in build_all(out):
        print(path)
