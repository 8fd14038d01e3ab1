"""Shared pieces of the package handler tests: the handlers module with its
logger recorded, and a business layer made of the stand-ins."""
import asyncio

import pytest

from orvane_master.testing.business_layer import BusinessLayer


class RecordingLogger:
    """Takes the place of the module's `logger`: keeps (level, text) lines."""

    def __init__(self):
        self.lines = []

    def info(self, text):
        self.lines.append(("info", text))

    def warning(self, text):
        self.lines.append(("warning", text))

    def error(self, text):
        self.lines.append(("error", text))


@pytest.fixture
def handlers():
    """The handlers module, its logger recorded, its globals restored afterwards."""
    from orvane_master.business_layer.packages import handlers as module

    saved = dict(vars(module))
    module.logger = RecordingLogger()
    yield module
    for name, value in saved.items():
        if vars(module).get(name) is not value:
            setattr(module, name, value)


def run_session(handlers, package_manager, scenario):
    """Runs `scenario(layer, ide)` on a fresh loop with the stand-ins injected;
    background work has settled when it returns."""
    async def main():
        layer = BusinessLayer(handlers, package_manager)
        layer.start()
        ide = layer.manager.connect_ide("ide-1")
        result = await scenario(layer, ide)
        await layer.settle()
        return result

    return asyncio.run(main())
