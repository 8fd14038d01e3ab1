import threading

import pytest


@pytest.fixture
def proxylink():
    """The bridge module with its channel restored after the test."""
    from orvane_master.python_server.orvane import proxylink as module

    saved = dict(vars(module))
    yield module
    module.messaging.set_send_handler(None)
    module.messaging.reset()
    for name, value in saved.items():
        if vars(module).get(name) is not value:
            setattr(module, name, value)


class Responder:
    """Plays the add-in on its own thread: every request handed to the send
    handler is answered through messaging.on_message by `answer(request)`."""

    def __init__(self, messaging, answer):
        self.messaging = messaging
        self.answer = answer
        self.requests = []
        self._queue = []
        self._cv = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        messaging.set_send_handler(self.send)

    def send(self, message):
        with self._cv:
            self.requests.append(message)
            self._queue.append(message)
            self._cv.notify()

    def _run(self):
        while True:
            with self._cv:
                while not self._queue and not self._stop:
                    self._cv.wait()
                if self._stop:
                    return
                message = self._queue.pop(0)
            response = self.answer(message)
            if response is not None:
                self.messaging.on_message(response)

    def close(self):
        with self._cv:
            self._stop = True
            self._cv.notify()
        self._thread.join()


@pytest.fixture
def responder(proxylink):
    made = []

    def start(answer):
        r = Responder(proxylink.messaging, answer)
        made.append(r)
        return r

    yield start
    for r in made:
        r.close()
