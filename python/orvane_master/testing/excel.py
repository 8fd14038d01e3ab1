"""Run scripts that use the bridge against a simulated add-in and kernel.

    from orvane_master.testing.excel import SimulatedExcel
    from orvane_master.python_server.orvane.proxylink import Excel

    with SimulatedExcel() as excel_env:
        sheet = Excel.workbook.worksheets.getActiveWorksheet()
        sheet.getRange("A1").values = 42
        print(excel_env.transcript.format())
        print(excel_env.workbook.worksheets.getItem("Sheet1").table())
"""
from typing import Any, Dict, Optional

from .addin import SimulatedAddin
from .kernel import TRANSCRIPT_LIMIT, SimulatedKernel, Transcript
from .workbook import Workbook


class SimulatedExcel:
    """A simulated add-in and kernel connected to the bridge's `messaging` for
    the duration of a with block (or between start() and stop()). The transcript
    keeps the most recent `transcript_limit` messages (None: all of them)."""

    def __init__(self, workbook: Optional[Workbook] = None, settings: Optional[Dict[str, Any]] = None,
                 system_info: Optional[Dict[str, Any]] = None,
                 transcript_limit: Optional[int] = TRANSCRIPT_LIMIT) -> None:
        self.addin = SimulatedAddin(workbook, settings, system_info)
        self.kernel = SimulatedKernel(self.addin, transcript_limit=transcript_limit)

    @property
    def workbook(self) -> Workbook:
        return self.addin.workbook

    @property
    def transcript(self) -> Transcript:
        return self.kernel.transcript

    def start(self) -> "SimulatedExcel":
        self.kernel.start()
        return self

    def stop(self) -> None:
        self.kernel.stop()

    def __enter__(self) -> "SimulatedExcel":
        return self.start()

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()
