"""A package manager that installs with the real installer.

`install_package(spec)` is given the package specification only, so a manager is bound
to one target folder when it is made: every package it installs goes into that
folder with `pip install --target`, and the folder is what it reports as the
installation path. A business layer that keeps one folder per workbook makes
one manager per workbook folder (`for_target` gives a sibling with the same
index options); the stand-in business layer serves its workbooks from one
folder.

Where packages come from is fixed at construction as well: local folders of
distributions (`find_links`, with `no_index` to keep the installer off the
network) or a simple package index (`index_url`). The queries read the same
source as the installer.
"""
from __future__ import annotations

import asyncio
import email.message
import os
import sys
import weakref
from typing import AsyncIterator, Dict, List, Optional, Sequence, Tuple, Union

from .distributions import DistFile, FolderSource, IndexSource, latest_version, newest_first

PathLike = Union[str, "os.PathLike[str]"]
Source = Union[FolderSource, IndexSource]
DEFAULT_INDEX = "https://pypi.org/simple/"


class PackageManager:
    """Installs into one target folder and answers package queries."""

    def __init__(
        self,
        target: PathLike,
        *,
        find_links: Sequence[PathLike] = (),
        index_url: Optional[str] = None,
        no_index: bool = False,
        python: str = sys.executable,
    ) -> None:
        self.target = os.path.abspath(os.fspath(target))
        self.find_links = [os.path.abspath(os.fspath(f)) for f in find_links]
        self.index_url = index_url
        self.no_index = no_index
        self.python = python
        self._locks: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, asyncio.Lock]" = \
            weakref.WeakKeyDictionary()
        sources: List[Source] = [FolderSource(f) for f in self.find_links]
        if not no_index:
            sources.append(IndexSource(index_url or DEFAULT_INDEX))
        self._sources = sources

    @classmethod
    def from_folder(cls, target: PathLike, distributions: PathLike) -> "PackageManager":
        """A manager that installs from one local folder of distributions only."""
        return cls(target, find_links=[distributions], no_index=True)

    def for_target(self, target: PathLike) -> "PackageManager":
        return PackageManager(target, find_links=self.find_links, index_url=self.index_url,
                              no_index=self.no_index, python=self.python)

    def installer_command(self, package_spec: str) -> List[str]:
        command = [self.python, "-m", "pip", "install", "--target", self.target, "--upgrade",
                   "--no-input", "--disable-pip-version-check", "--progress-bar", "off"]
        if self.no_index:
            command.append("--no-index")
        elif self.index_url:
            command += ["--index-url", self.index_url]
        for folder in self.find_links:
            command += ["--find-links", folder]
        return command + [package_spec]

    # -- installation ----------------------------------------------------------

    async def install_package(self, package_spec: str) -> AsyncIterator[Tuple[str, str]]:
        """Runs the installer and yields ("stdout" | "stderr", line) as the lines
        arrive, then ("path", folder) and ("success", text), or ("error", text)."""
        if package_spec.startswith("-"):
            # It would be read as an option of the installer.
            yield "error", f"Refused package specification {package_spec!r}: it must not begin with '-'"
            return
        # One installer at a time writes into the folder. (A lock per event
        # loop: on 3.9 a lock belongs to the loop it was made in.)
        lock = self._locks.setdefault(asyncio.get_running_loop(), asyncio.Lock())
        async with lock:
            os.makedirs(self.target, exist_ok=True)
            env = dict(os.environ, PYTHONUNBUFFERED="1", PYTHONIOENCODING="utf-8")
            process = await asyncio.create_subprocess_exec(
                *self.installer_command(package_spec), stdin=asyncio.subprocess.DEVNULL,
                stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE, env=env, limit=1 << 20)
            lines: "asyncio.Queue[Tuple[str, Optional[str]]]" = asyncio.Queue()
            pumps = [asyncio.ensure_future(_pump(process.stdout, "stdout", lines)),
                     asyncio.ensure_future(_pump(process.stderr, "stderr", lines))]
            try:
                open_streams = len(pumps)
                while open_streams:
                    kind, line = await lines.get()
                    if line is None:
                        open_streams -= 1
                    else:
                        yield kind, line
                code = await process.wait()
            finally:
                for pump in pumps:
                    pump.cancel()
                if process.returncode is None:
                    process.kill()
                    await process.wait()
        if code == 0:
            yield "path", self.target
            yield "success", f"Successfully installed {package_spec} into {self.target}"
        else:
            yield "error", f"Installation of {package_spec} failed with exit code {code}"

    # -- queries -------------------------------------------------------------

    def _files(self, package_name: str) -> List[Tuple[Source, DistFile]]:
        return [(source, f) for source in self._sources for f in source.files(package_name)]

    @staticmethod
    def _metadata_of(files: List[Tuple[Source, DistFile]], version: str) -> Optional[email.message.Message]:
        chosen = sorted((pair for pair in files if pair[1].version == version),
                        key=lambda pair: not pair[1].is_wheel)  # a wheel's metadata first
        if not chosen:
            return None
        source, dist = chosen[0]
        return source.metadata(dist)

    async def get_available_versions(self, package_name: str) -> List[str]:
        """Every version of the package that the source offers, newest first."""
        def query() -> List[str]:
            files = self._files(package_name)
            if not files:
                raise LookupError(f"No distributions found for {package_name}")
            return newest_first([f.version for _, f in files])
        return await asyncio.to_thread(query)

    async def get_package_extras(self, package_name: str, version: Optional[str]) -> List[str]:
        """The extras (Provides-Extra) of that version, or of the latest when none is given."""
        def query() -> List[str]:
            files = self._files(package_name)
            wanted = version or latest_version([f.version for _, f in files])
            metadata = self._metadata_of(files, wanted)
            if metadata is None:
                raise LookupError(f"No distribution of {package_name} {wanted} found" if wanted
                                  else f"No distributions found for {package_name}")
            return list(metadata.get_all("Provides-Extra") or [])
        return await asyncio.to_thread(query)

    async def get_package_info(self, package_name: str) -> Dict[str, str]:
        """`name`, `latest_version` and `summary` of the package, or `error`."""
        def query() -> Dict[str, str]:
            files = self._files(package_name)
            if not files:
                return {"error": f"Package {package_name} not found"}
            latest = latest_version([f.version for _, f in files])
            metadata = self._metadata_of(files, latest)
            assert metadata is not None
            return {"name": str(metadata.get("Name", package_name)), "latest_version": latest,
                    "summary": str(metadata.get("Summary", ""))}
        return await asyncio.to_thread(query)


async def _pump(stream: Optional[asyncio.StreamReader], kind: str,
                lines: "asyncio.Queue[Tuple[str, Optional[str]]]") -> None:
    try:
        assert stream is not None
        while True:
            raw = await stream.readline()
            if not raw:
                break
            lines.put_nowait((kind, raw.decode("utf-8", "replace").rstrip("\r\n")))
    finally:
        lines.put_nowait((kind, None))
