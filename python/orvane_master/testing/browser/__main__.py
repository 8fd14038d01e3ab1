"""Serves the add-in page and its relay: python -m orvane_master.testing.browser --help"""
import argparse
import webbrowser

from .relay import Relay


def main() -> None:
    parser = argparse.ArgumentParser(description="Serves the add-in page and the relay that kernels connect to.")
    parser.add_argument("--port", type=int, default=0, help="the port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--open", action="store_true", help="open the page in the default browser")
    args = parser.parse_args()
    relay = Relay(port=args.port)
    print(relay.url, flush=True)
    print(f"kernels connect to ws://127.0.0.1:{relay.port} (RemoteExcel(port={relay.port}))", flush=True)
    if args.open:
        webbrowser.open(relay.url)
    try:
        relay.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
