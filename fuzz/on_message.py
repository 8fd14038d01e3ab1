"""Fuzzes Messaging.on_message with responses for requests that really wait:
worker threads in send_request_sync whose send handler answers inline (once or
twice), from a listener thread, never (short timeouts), raises, or resets the
channel, while the main thread delivers stray messages and resets. Responses
carry odd request ids, ok flags, errors and results, and hooks (in ids, flags
and errors, and keys of errors that hash like "message") that raise, empty
or drop the message or the error they were read from, mutate the waiter map,
walk the collector's objects or re-enter the channel. A response is delivered
as the very dict the hooks name."""
import concurrent.futures
import threading

import atheris

import common
from common import Hook, HookStr, Hostile, hook, plain, scalar

from orvane_master.python_server.orvane import proxylink

EXPECTED = (RuntimeError, TimeoutError, concurrent.futures.CancelledError, TypeError, AttributeError, Hostile)


class Reenter:
    """A request id whose hash and equality call back into the channel."""

    def __init__(self, messaging, reset):
        self.messaging, self.reset = messaging, reset

    def __hash__(self):
        if self.reset:
            self.messaging.reset()
        else:
            self.messaging.on_message({"requestId": "x"})
        return 3

    def __eq__(self, other):
        return False


def response(fdp, m, targets):
    message = {}
    targets.append(message)
    rid = fdp.ConsumeIntInRange(0, 9)
    if rid <= 5:
        message["requestId"] = "REAL"
    elif rid == 6:
        message["requestId"] = scalar(fdp)
    elif rid == 7 and not common.SKIP_KNOWN:
        message["requestId"] = Reenter(m, fdp.ConsumeBool())
    elif rid == 8:
        message["requestId"] = hook(fdp, targets)
    ok = fdp.ConsumeIntInRange(0, 5)
    if ok < 4:
        message["ok"] = [True, False, 1, ""][ok]
    elif ok == 4:
        message["ok"] = hook(fdp, targets)
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        message["error"] = {"message": scalar(fdp)} if fdp.ConsumeBool() else {}
    elif kind == 1:
        message["error"] = plain(fdp, 2)
    elif kind == 2:
        message["error"] = Hook(fdp, targets)
    elif kind == 3:
        # Many keys (a key table of its own, freed when the error goes) and
        # hooked ones, which may hash like "message".
        error = message["error"] = {"k%d" % i: i for i in range(fdp.ConsumeIntInRange(0, 40))}
        targets.append(error)
        for _ in range(fdp.ConsumeIntInRange(1, 2)):
            error[HookStr(fdp, targets)] = scalar(fdp)
    if fdp.ConsumeBool():
        message["result"] = plain(fdp, 3)
    return message


def answer(m, message, request_id):
    """Delivers the response itself, the dict its hooks name, with the real id in place of "REAL"."""
    if type(message.get("requestId")) is str and message["requestId"] == "REAL":  # no reference to it is kept
        message["requestId"] = request_id
    m.on_message(message)


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    m = proxylink.Messaging()
    targets = []
    listeners = []
    outcomes = []
    plans = [(fdp.ConsumeIntInRange(0, 5), response(fdp, m, targets), fdp.ConsumeIntInRange(0, 20) / 1000)
             for _ in range(fdp.ConsumeIntInRange(1, 3))]
    strays = [response(fdp, m, targets) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    reset_meanwhile = fdp.ConsumeIntInRange(0, 5) == 5
    by_thread = {}

    def send(request):
        mode, template, _ = by_thread[threading.get_ident()]
        rid = request["requestId"]
        if mode == 0:
            answer(m, template, rid)
        elif mode == 1:
            t = threading.Thread(target=guarded, args=(answer, m, template, rid))
            listeners.append(t)
            t.start()
        elif mode == 2:
            pass  # no answer: times out
        elif mode == 3:
            raise Hostile
        elif mode == 4:
            m.reset()
        else:
            answer(m, template, rid)
            answer(m, template, rid)

    def guarded(fn, *args):
        try:
            fn(*args)
        except BaseException as exc:  # sorted on the main thread
            outcomes.append(exc)

    def user(plan):
        by_thread[threading.get_ident()] = plan
        m.send_request_sync({"method": "GET", "name": "x", "caller": 1}, plan[2])

    m.set_send_handler(send)
    common.arm()
    workers = [threading.Thread(target=guarded, args=(user, plan)) for plan in plans]
    for t in workers:
        t.start()
    for stray in strays:
        guarded(answer, m, stray, next(iter(list(m.waiters)), "none"))
    if reset_meanwhile:
        m.reset()
    for t in workers:
        t.join()
    for t in listeners:
        t.join()
    common.arm(False)
    m.reset()
    for exc in outcomes:
        common.check(exc, EXPECTED)
    if m.waiters:
        raise common.Fault("waiters left after reset: %r" % (m.waiters,))


if __name__ == "__main__":
    common.run(one_input)
