"""Reading distributions: file names, versions and metadata.

Two sources answer the package manager's questions: a local folder of wheels
and sdists (what `pip install --find-links <folder>` reads) and a simple
package index (the HTML pages that `pip install --index-url <url>` reads).
Both give the files of one project; the metadata of a file comes from its
METADATA (wheels) or PKG-INFO (sdists), or from the index's `.metadata` file
when the index offers one. Everything here blocks; the package manager runs it
in a worker thread.
"""
from __future__ import annotations

import email.message
import email.parser
import html.parser
import io
import os
import re
import tarfile
import urllib.error
import urllib.parse
import urllib.request
import zipfile
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Sequence, Tuple

_SDIST_SUFFIXES = (".tar.gz", ".tgz", ".tar.bz2", ".zip")


def normalize_name(name: str) -> str:
    """Project names compare after lowering and folding runs of -_. to one dash."""
    return re.sub(r"[-_.]+", "-", name).lower()


@dataclass(frozen=True)
class DistFile:
    filename: str
    name: str  # normalised project name
    version: str
    is_wheel: bool
    location: str  # a path for a folder, a URL for an index
    metadata_url: Optional[str] = None


def parse_filename(filename: str) -> Optional[Tuple[str, str, bool]]:
    """(normalised name, version, is_wheel) of a distribution file name, or None."""
    if filename.endswith(".whl"):
        parts = filename[:-4].split("-")
        if len(parts) not in (5, 6):
            return None
        return normalize_name(parts[0]), parts[1], True
    for suffix in _SDIST_SUFFIXES:
        if filename.endswith(suffix):
            # The name may hold dashes; the version starts after the last dash
            # that is followed by a digit.
            m = re.match(r"^(.+)-(\d[^-]*)$", filename[: -len(suffix)])
            return (normalize_name(m.group(1)), m.group(2), False) if m else None
    return None


# -- versions ---------------------------------------------------------------

_VERSION_RE = re.compile(
    r"""^v?(?:(?P<epoch>\d+)!)?(?P<release>\d+(?:\.\d+)*)
    (?:[-_.]?(?P<pre>a|b|c|rc|alpha|beta|pre|preview)[-_.]?(?P<pre_n>\d*))?
    (?:-(?P<post_implicit>\d+)|[-_.]?(?P<post>post|rev|r)[-_.]?(?P<post_n>\d*))?
    (?:[-_.]?(?P<dev>dev)[-_.]?(?P<dev_n>\d*))?
    (?:\+[a-z0-9]+(?:[-_.][a-z0-9]+)*)?$""",
    re.IGNORECASE | re.VERBOSE,
)
_PRE_RANK = {"a": 0, "alpha": 0, "b": 1, "beta": 1, "c": 2, "rc": 2, "pre": 2, "preview": 2}


def version_key(version: str) -> tuple:
    """A sort key ordering versions as the installer does (PEP 440); versions
    it cannot parse sort before all others, by their text."""
    m = _VERSION_RE.match(version.strip())
    if not m:
        return (0, 0, (), (), (), (), version)
    release = [int(p) for p in m.group("release").split(".")]
    while len(release) > 1 and release[-1] == 0:
        release.pop()
    has_post = m.group("post_implicit") is not None or m.group("post") is not None
    post_n = m.group("post_implicit") or m.group("post_n")
    if m.group("pre"):
        pre: tuple = (1, _PRE_RANK[m.group("pre").lower()], int(m.group("pre_n") or 0))
    elif m.group("dev") and not has_post:
        pre = (0,)  # 1.0.dev1 comes before 1.0a1
    else:
        pre = (2,)
    post = (1, int(post_n or 0)) if has_post else (0,)
    dev = (0, int(m.group("dev_n") or 0)) if m.group("dev") else (1,)
    return (1, int(m.group("epoch") or 0), tuple(release), pre, post, dev, "")


def is_prerelease(version: str) -> bool:
    m = _VERSION_RE.match(version.strip())
    return bool(m and (m.group("pre") or m.group("dev")))


def newest_first(versions: Sequence[str]) -> List[str]:
    return sorted(set(versions), key=version_key, reverse=True)


def latest_version(versions: Sequence[str]) -> str:
    """The newest final release, or the newest version when all are pre-releases."""
    ordered = newest_first(versions)
    finals = [v for v in ordered if not is_prerelease(v)]
    return (finals or ordered or [""])[0]


# -- metadata -----------------------------------------------------------------

def parse_metadata(data: bytes) -> email.message.Message:
    return email.parser.BytesHeaderParser().parsebytes(data)


def metadata_from_archive(filename: str, data: Callable[[], io.BufferedIOBase]) -> email.message.Message:
    """METADATA of a wheel, PKG-INFO of an sdist. `data` opens the file."""
    with data() as raw:
        if filename.endswith((".whl", ".zip")):
            with zipfile.ZipFile(raw) as zf:
                wanted = _metadata_member(zf.namelist(), filename.endswith(".whl"))
                return parse_metadata(zf.read(wanted))
        with tarfile.open(fileobj=raw, mode="r:*") as tf:
            wanted = _metadata_member(tf.getnames(), False)
            member = tf.extractfile(wanted)
            assert member is not None
            return parse_metadata(member.read())


def _metadata_member(names: Sequence[str], wheel: bool) -> str:
    for name in names:
        parts = name.split("/")
        if wheel and len(parts) == 2 and parts[0].endswith(".dist-info") and parts[1] == "METADATA":
            return name
        if not wheel and len(parts) == 2 and parts[1] == "PKG-INFO":
            return name
    raise ValueError("no " + ("METADATA" if wheel else "PKG-INFO") + " in the distribution")


# -- sources ------------------------------------------------------------------

class FolderSource:
    """A local folder of distributions (as given to --find-links)."""

    def __init__(self, folder: "os.PathLike[str] | str") -> None:
        self.folder = os.fspath(folder)

    def files(self, name: str) -> List[DistFile]:
        wanted = normalize_name(name)
        found = []
        for filename in sorted(os.listdir(self.folder)):
            parsed = parse_filename(filename)
            if parsed and parsed[0] == wanted:
                found.append(DistFile(filename, parsed[0], parsed[1], parsed[2], os.path.join(self.folder, filename)))
        return found

    def metadata(self, dist: DistFile) -> email.message.Message:
        return metadata_from_archive(dist.filename, lambda: open(dist.location, "rb"))


class _Links(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.links: List[Tuple[Dict[str, Optional[str]], str]] = []
        self._open: Optional[Dict[str, Optional[str]]] = None
        self._text = ""

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        if tag == "a":
            self._open, self._text = dict(attrs), ""

    def handle_data(self, data: str) -> None:
        if self._open is not None:
            self._text += data

    def handle_endtag(self, tag: str) -> None:
        if tag == "a" and self._open is not None:
            self.links.append((self._open, self._text.strip()))
            self._open = None


class IndexSource:
    """A simple package index: one HTML page of links per project."""

    def __init__(self, index_url: str, timeout: float = 30.0) -> None:
        self.index_url = index_url.rstrip("/") + "/"
        self.timeout = timeout

    def _fetch(self, url: str) -> bytes:
        with urllib.request.urlopen(url, timeout=self.timeout) as response:
            return response.read()

    def files(self, name: str) -> List[DistFile]:
        page_url = urllib.parse.urljoin(self.index_url, normalize_name(name) + "/")
        try:
            page = self._fetch(page_url)
        except urllib.error.HTTPError as e:
            if e.code == 404:
                return []
            raise
        parser = _Links()
        parser.feed(page.decode("utf-8", "replace"))
        found = []
        for attrs, text in parser.links:
            href = attrs.get("href") or ""
            url = urllib.parse.urljoin(page_url, href).split("#", 1)[0]
            filename = text or urllib.parse.unquote(url.rsplit("/", 1)[-1])
            parsed = parse_filename(filename)
            if not parsed or "data-yanked" in attrs:
                continue
            has_metadata = attrs.get("data-core-metadata") or attrs.get("data-dist-info-metadata")
            meta_url = url + ".metadata" if has_metadata and has_metadata != "false" else None
            found.append(DistFile(filename, parsed[0], parsed[1], parsed[2], url, meta_url))
        return found

    def metadata(self, dist: DistFile) -> email.message.Message:
        if dist.metadata_url:
            return parse_metadata(self._fetch(dist.metadata_url))
        return metadata_from_archive(dist.filename, lambda: io.BytesIO(self._fetch(dist.location)))
