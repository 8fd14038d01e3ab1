"""The shipped type stubs agree with the built modules."""
import subprocess
import sys

import pytest

from test_module_loading import MODULES


@pytest.mark.parametrize("name", MODULES)
def test_stubtest(name):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", name], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
