"""The bridge on its own: a send handler and a responder thread standing in for the add-in."""
import queue
import threading

from orvane_master.python_server.orvane import proxylink

outbox: "queue.Queue[dict]" = queue.Queue()


def responder() -> None:
    while True:
        request = outbox.get()
        if request is None:
            return
        print("  add-in received:", request)
        response = {"requestId": request["requestId"], "ok": True, "result": {"type": "String", "value": "Book1", "isSpec": False}}
        print("  add-in answers: ", response)
        proxylink.messaging.on_message(response)


thread = threading.Thread(target=responder, daemon=True)
thread.start()
proxylink.messaging.set_send_handler(outbox.put)
reply = proxylink.messaging.send_request_sync({"method": "GET", "name": "name", "caller": 1})
print("send_request_sync returned:", reply)
outbox.put(None)
thread.join()
proxylink.messaging.set_send_handler(None)
