"""User code as it runs in a kernel: pandas frames into and out of ranges and
several worker threads at once (against both add-ins, see `any_excel`), and the
example session."""
import gc
import pathlib
import subprocess
import sys
import threading

import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_dataframe_round_trip_through_a_range(proxylink, any_excel):
    sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
    frame = pd.DataFrame({"name": ["a", "b", "c"], "count": [1, 2, 3], "ratio": [0.5, float("nan"), 2.0],
                          "flag": [True, False, True]})
    target = sheet.getRange("B2:E5")
    target.values = frame
    rows = target.values
    labels, *records = [list(row) for row in rows]
    back = pd.DataFrame(records, columns=labels)
    pd.testing.assert_frame_equal(back, frame)
    # a series goes as one labelled column; the model computes formulas below it
    sheet.getRange("G1:G4").values = pd.Series([4, 5, 6], name="s")
    sheet.getRange("G5").formulas = "=SUM(G2:G4)"
    assert sheet.getRange("G1:G5").values == [["s"], [4], [5], [6], [15]]
    del rows, target, sheet
    gc.collect()
    assert any_excel.addin.live_ids() == []


def test_worker_threads_share_the_channel(proxylink, any_excel):
    errors = []

    def worker(column):
        try:
            sheet = proxylink.Excel.workbook.worksheets.getActiveWorksheet()
            for i in range(15):
                cell = sheet.getRange(f"{column}{i + 1}")
                cell.values = i * 10
                assert cell.values == [[i * 10]]
        except Exception as e:  # reported to the main thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(c,)) for c in "ABCD"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert any_excel.table("Sheet1")[14][3] == 140
    assert proxylink.messaging.waiters == {}
    gc.collect()
    assert any_excel.addin.live_ids() == []


def test_example_session_runs():
    script = ROOT / "examples" / "excel_session.py"
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "same as written: True" in out
    assert "callback: B3 changed on Sheet1; total quantity now 51" in out
    assert "-> GET     Transaction.start" in out and "-> DEL     Transaction" in out
    assert "objects still held by the add-in: []" in out
    assert result.stderr == ""
