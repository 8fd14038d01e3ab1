"""An IDE session against the business-layer stand-ins.

The IDE edits a workbook's package list and python paths, asks about a package,
and installs one from the local folder of wheels next to this script, into a
temporary workbook folder; the installer's output is printed as it reaches the
IDE. At the end: what the IDE, the kernel and the add-in received.
"""
import asyncio
import pathlib
import subprocess
import sys
import tempfile

from orvane_master.business_layer.packages import handlers
from orvane_master.testing.business_layer import BusinessLayer

HERE = pathlib.Path(__file__).resolve().parent
WORKBOOK = "Book1"


def show(message):
    if message["type"] == "pip_output":
        print(f"  IDE <- pip_output {message['output_type']:<7} {message['content']}")
    else:
        rest = {k: v for k, v in message.items() if k != "type"}
        print(f"  IDE <- {message['type']}: {rest}")


async def watch(ide):
    """Prints each message the moment it reaches the IDE."""
    while True:
        show(await ide.queue.get())


async def main(folder):
    layer = BusinessLayer.from_folder(handlers, folder / WORKBOOK, HERE / "distributions")
    layer.start()
    manager = layer.manager
    ide = manager.connect_ide("ide-1")
    kernel = manager.connect_kernel(WORKBOOK)
    addin = manager.connect_addin(WORKBOOK)
    printer = asyncio.create_task(watch(ide))

    async def request(message):
        print(f"IDE -> {message['type']}")
        await layer.request("ide-1", message)
        await layer.settle()
        await asyncio.sleep(0)  # let the printer catch up

    await request({"type": "add_workbook_package", "workbook_id": WORKBOOK, "package_name": "pebble_text",
                   "version": "0.2.0"})
    await request({"type": "add_workbook_package", "workbook_id": WORKBOOK, "package_name": "pebble_math",
                   "version": "1.0.0", "extras": ["fast"]})
    await request({"type": "reorder_workbook_packages", "workbook_id": WORKBOOK,
                   "package_names": ["pebble_math", "pebble_text"]})
    await request({"type": "update_python_paths", "workbook_id": WORKBOOK,
                   "python_paths": [str(folder / "scripts")]})
    await request({"type": "get_package_versions_request", "package_name": "pebble_math", "request_id": "q1"})
    await request({"type": "get_package_extras_request", "package_name": "pebble_math", "request_id": "q2"})
    await request({"type": "get_package_info_request", "package_name": "pebble_text", "request_id": "q3"})
    await request({"type": "package_install_request", "workbook_id": WORKBOOK, "package": "pebble_text==0.2.0"})
    printer.cancel()

    print("\nThe kernel received:")
    for message in kernel.received:
        print("  ", message)
    print("  its module search path entries:", kernel.sys_path)
    print("The add-in received:")
    for message in addin.received:
        print("  ", message)
    print(f"The IDE received {len(ide.received)} messages:",
          ", ".join(sorted({m["type"] for m in ide.received})))
    return kernel.sys_path


with tempfile.TemporaryDirectory() as tmp:
    paths = asyncio.run(main(pathlib.Path(tmp)))
    # The kernel's view: the installed package imports from the workbook folder.
    probe = subprocess.run([sys.executable, "-c", "import sys; sys.path[:0] = sys.argv[1:]; import pebble_text; "
                            "print('pebble_text.average_length([\"ab\", \"abcd\"]) =', "
                            "pebble_text.average_length(['ab', 'abcd']))", *paths],
                           capture_output=True, text=True)
    print("In the kernel:", probe.stdout.strip() or probe.stderr.strip())
