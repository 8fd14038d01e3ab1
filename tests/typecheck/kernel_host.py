"""A kernel, as small as it gets, that hosts proxylink: its types must check."""
import queue
import threading
from typing import Any, Dict

from orvane_master.interfaces import SendHandler
from orvane_master.python_server.orvane.proxylink import messaging

outbox: "queue.Queue[Dict[str, Any]]" = queue.Queue()


def send(message: Dict[str, Any]) -> None:
    outbox.put(message)  # the transport takes it from here


def listen(inbox: "queue.Queue[Dict[str, Any]]") -> None:
    while True:
        response = inbox.get()
        if response.get("type") == "excel_response":
            messaging.on_message(response)


class Connection:
    def write(self, message: Dict[str, Any]) -> None: ...


messaging.set_send_handler(send)
messaging.set_send_handler(Connection().write)
messaging.set_send_handler(None)
handler: SendHandler = lambda message: outbox.put(message)
threading.Thread(target=listen, args=(queue.Queue(),), daemon=True)
