"""Stand-in for the business layer's module `tessil` (python path helpers).

Only `normalize_python_paths`, the one function the package handlers import,
is provided, with the normalisation rules of the business layer.
"""

import os


def normalize_python_paths(paths):
    """normalize_python_paths(paths: list) -> list

    Return the python paths cleaned up: each entry stripped of surrounding white
    space, empty entries dropped, a leading "~" expanded, each normalised with
    os.path.normpath, later duplicates dropped, the order kept.

    Raises TypeError when `paths` is not a list or an entry is not a str."""
    if not isinstance(paths, list):
        raise TypeError(f"python_paths must be a list, not {type(paths).__name__}")
    for entry in paths:
        if not isinstance(entry, str):
            raise TypeError(f"python path entries must be str, not {type(entry).__name__}")
    normalized = []
    seen = set()
    for entry in paths:
        entry = entry.strip()
        if not entry:
            continue
        if entry.startswith("~"):
            entry = os.path.expanduser(entry)
        entry = os.path.normpath(entry)
        if entry not in seen:
            seen.add(entry)
            normalized.append(entry)
    return normalized
