"""Serves the add-in page and its relay: python -m orvane_master.testing.browser --help"""
import argparse
import webbrowser

from ..addin_server import DEFAULT_MAX_SIZE, LOOPBACK
from .relay import DEFAULT_MAX_WAITING, Relay


def main() -> None:
    parser = argparse.ArgumentParser(description="Serves the add-in page and the relay that kernels connect to.")
    parser.add_argument("--port", type=int, default=0, help="the port on 127.0.0.1, the loopback address only "
                        "(0: any free one)")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    parser.add_argument("--max-size", type=int, default=DEFAULT_MAX_SIZE, metavar="BYTES",
                        help=f"the largest message read; a larger one closes its connection (default "
                             f"{DEFAULT_MAX_SIZE}, 16 MiB)")
    parser.add_argument("--max-waiting", type=int, default=DEFAULT_MAX_WAITING, metavar="N",
                        help=f"kernel messages kept while no page is connected (default {DEFAULT_MAX_WAITING})")
    args = parser.parse_args()
    relay = Relay(port=args.port, max_size=args.max_size, max_waiting=args.max_waiting)
    print(relay.url, flush=True)
    print(f"kernels connect to ws://{LOOPBACK}:{relay.port} (RemoteExcel(port={relay.port})), one at a time; "
          f"the relay listens on the loopback address only, and lets in no web page but its own, opened at "
          f"{' or '.join(o + '/' for o in relay.origins)}", flush=True)
    if args.open:
        webbrowser.open(relay.url)
    try:
        relay.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
