"""The example sessions against the add-in page: the page in headless chromium (or
in your own browser), the relay in this process in the business layer's place.

    python examples/browser_demo.py [--watch] [--screenshot build/demo-browser.png]

It prints the page's URL, runs every *_session.py example against the page, and
saves a screenshot of the page as the last session left it: the sheet of its last
request that touched cells, those cells outlined, and the end of the log. With --watch it starts no browser: open
the printed URL yourself, watch the sheet fill in, and stop it with Ctrl-C.
"""
import argparse
import pathlib
import runpy
import sys
import time

from orvane_master.testing.browser import Relay
from orvane_master.testing.browser.headless import HeadlessPage

here = pathlib.Path(__file__).resolve().parent

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument("--watch", action="store_true", help="wait for your own browser instead of starting one")
parser.add_argument("--port", type=int, default=0, help="the relay's port (0: any free one)")
parser.add_argument("--screenshot", default=str(here.parent / "build" / "demo-browser.png"))
parser.add_argument("--pause", type=float, default=None, help="seconds between sessions (default: 2 with --watch)")
args = parser.parse_args()

relay = Relay(port=args.port).start()
print(f"the add-in page: {relay.url}", flush=True)
page = None
try:
    if args.watch:
        print("open it in a browser on this machine (the relay listens on 127.0.0.1 only, and lets in no page "
              f"but its own: {relay.url} or http://localhost:{relay.port}/); the sessions start when the page "
              "connects", flush=True)
        relay.wait_page(1, timeout=3600)
    else:
        page = HeadlessPage(relay.url)
        relay.wait_page(1, timeout=60)
        page.wait_connected(60)
    pause = args.pause if args.pause is not None else (2.0 if args.watch else 0.0)
    for script in sorted(here.glob("*_session.py")):
        if script.stem == "ide_session":
            continue  # no add-in in it
        print(f"==== {script.stem} (against the page) ====", flush=True)
        sys.argv = [str(script)]
        runpy.run_path(str(script), run_name="__main__")
        print(flush=True)
        time.sleep(pause)
    if page is not None:
        # The page shows the sheet of the last request that touched cells, those cells
        # outlined: the end of the last session's log.
        page.screenshot(args.screenshot)
        requests, sheet, marked = page.script(
            "return [orv.stats.requests, document.querySelector('#tabs button.shown').textContent, "
            "document.getElementById('legend-request').textContent];")
        print(f"saved {args.screenshot}: sheet {sheet}, the cells of request {marked} outlined; the page "
              f"numbers the requests of every session in one count, {requests} in all")
    else:
        print("done; the page stays served until Ctrl-C", flush=True)
        while True:
            time.sleep(3600)
except KeyboardInterrupt:
    pass
finally:
    if page is not None:
        page.quit()
    relay.shutdown()
