"""Installing every package of a workbook's list.

The function handed to `init_handlers` takes the workbook id only. It installs
the list's entries in their order through the package manager, one at a time,
and keeps the workbook's state up to date as it goes:

- each entry's `status` becomes "installing", then "installed" or "error";
- `package_errors[workbook]` maps the name of each entry that failed to the
  installer's last error lines (entries that install clear their error);
- the installer's output goes to the IDE as "pip_output" messages;
- at the end `workbook_installed_packages[workbook]` holds copies of the entries
  that installed, `workbook_resolved_deps[workbook]` the distributions found in
  the target folder, and the kernel is sent "add_path" when anything installed.

After each status change the packages and python paths are pushed.
"""
from __future__ import annotations

import logging
import os
from typing import Any, Dict, List

from ...interfaces import WorkbookInstallFunction
from .connections import ConnectionManager
from .package_manager import PackageManager

logger = logging.getLogger(__name__)

_KEPT_ERROR_LINES = 5


def package_spec(entry: Dict[str, Any]) -> str:
    """"name[extra,...]==version" of a package entry (parts left out when empty)."""
    spec = str(entry["name"])
    if entry.get("extras"):
        spec += "[" + ",".join(entry["extras"]) + "]"
    if entry.get("version"):
        spec += "==" + str(entry["version"])
    return spec


def installed_distributions(folder: str) -> List[Dict[str, str]]:
    """Name and version of every distribution installed in the folder."""
    found = []
    if os.path.isdir(folder):
        for entry in sorted(os.listdir(folder)):
            if entry.endswith(".dist-info"):
                name, _, version = entry[: -len(".dist-info")].partition("-")
                found.append({"name": name, "version": version})
    return found


def make_workbook_installer(manager: ConnectionManager,
                            package_manager: PackageManager) -> WorkbookInstallFunction:
    async def install_workbook_packages(workbook_id: str) -> None:
        packages = manager.workbook_packages.get(workbook_id, [])
        errors = manager.package_errors.setdefault(workbook_id, {})
        installed_path = None
        for entry in list(packages):
            name = entry["name"]
            entry["status"] = "installing"
            manager._push_packages_and_python_paths(workbook_id)
            stderr: List[str] = []
            outcome = "error"
            try:
                async for output_type, content in package_manager.install_package(package_spec(entry)):
                    if output_type in ("stdout", "stderr"):
                        if output_type == "stderr":
                            stderr.append(content)
                        await manager.send_to_ide({"type": "pip_output", "workbook_id": workbook_id,
                                                   "output_type": output_type, "content": content})
                    elif output_type == "path":
                        installed_path = content
                    elif output_type in ("success", "error"):
                        outcome = output_type
                        if output_type == "error":
                            stderr.append(content)
                        await manager.send_to_ide({"type": "pip_output", "workbook_id": workbook_id,
                                                   "output_type": output_type, "content": content})
            except Exception as exc:
                logger.error("Installing %s for workbook %s failed", name, workbook_id, exc_info=exc)
                stderr.append(f"{type(exc).__name__}: {exc}")
                outcome = "error"
            if outcome == "success":
                entry["status"] = "installed"
                errors.pop(name, None)
            else:
                entry["status"] = "error"
                errors[name] = "\n".join(stderr[-_KEPT_ERROR_LINES:])
            manager._push_packages_and_python_paths(workbook_id)

        # Copies, so that later edits of the list do not rewrite what was installed.
        manager.workbook_installed_packages[workbook_id] = [
            dict(entry, extras=list(entry.get("extras") or [])) for entry in packages
            if entry.get("status") == "installed"]
        manager.workbook_resolved_deps[workbook_id] = installed_distributions(package_manager.target)
        if installed_path:
            await manager.send_message("kernel", workbook_id, {"type": "add_path", "path": installed_path})
        manager._push_packages_and_python_paths(workbook_id)
        logger.info("Installed packages for workbook %s: %d of %d", workbook_id,
                    len(manager.workbook_installed_packages[workbook_id]), len(packages))

    return install_workbook_packages
