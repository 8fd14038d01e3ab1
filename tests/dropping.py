"""Hooks that drop the container their value was read from, run where a read
of freed memory crashes every time: a subprocess under the debug allocator
(the sanitizer runs set PYTHONMALLOC themselves, and their choice is kept).

A script starts with PRELUDE and runs its cases with `case(name, fn)`, which
prints the outcome ("no hook ran" when a case of hostile() values ran none); `run` returns the outcomes by name, and fails naming the
case that crashed."""
import os
import subprocess
import sys
import textwrap

PRELUDE = """
import gc, os

ONLY = os.environ.get("DROPPING_CASE")  # runs that case alone

DEFAULTS = {"__bool__": True, "__len__": 1, "__index__": 7, "__int__": 7, "__float__": 1.5, "__str__": "hostile"}

def hostile(base, hooks, fire, *args, like=None):
    '''base(*args) whose hooks (names of special methods) call fire() first and
    then do what base does; with `like`, it hashes as that text does.'''
    def hooked(name):
        inherited = getattr(base, name, None)
        def method(self, *a):
            fired.append(name)
            fire()
            if name in DEFAULTS and (inherited is None or inherited is getattr(object, name, None)):
                return DEFAULTS[name]
            return inherited(self, *a) if inherited else None
        return method
    ns = {name: hooked(name) for name in hooks}
    if like is not None:
        ns["__hash__"] = lambda self: hash(like)
    elif "__eq__" in hooks and "__hash__" not in hooks:
        ns["__hash__"] = base.__hash__
    return type("Hostile" + base.__name__.title(), (base,), ns)(*args)

def empty_tree(c):
    '''Empties c and every list and dict inside it, innermost first, without
    running the hooks of subclasses.'''
    for v in dict.values(c) if isinstance(c, dict) else list.copy(c):
        if isinstance(v, (list, dict)):
            empty_tree(v)
    c.clear()

ACTS = ["empty", "drop"]

class Links(list):
    '''The containers handed over (or functions that empty one). fire()
    empties them and, with act "empty", everything inside them, innermost
    first; with "drop" the ones inside are let go of whole, so that they are
    freed with what they hold. Only the outermost are listed: a reference
    kept here would keep the inner ones alive.'''
    def __init__(self, act):
        self.act = act
    def fire(self):
        for c in self:
            c() if callable(c) else empty_tree(c) if self.act == "empty" else c.clear()

fired = []

def case(name, fn, hooked=True):
    if ONLY and name != ONLY:
        return
    print("start", name, flush=True)
    fired.clear()
    try:
        outcome = fn()
    except Exception as e:
        outcome = "%s: %s" % (type(e).__name__, e)
    gc.collect()
    if hooked and not fired:
        outcome = "no hook ran"
    print(name, "=", outcome, flush=True)
"""


def run(body, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env.setdefault("PYTHONMALLOC", "debug")
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body) + "\nprint('done')\n"],
                          capture_output=True, text=True, env=env, timeout=timeout)
    started = [line.split(" ", 1)[1] for line in done.stdout.splitlines() if line.startswith("start ")]
    assert done.returncode == 0 and done.stdout.endswith("done\n"), (
        f"crashed in case {started[-1:]}, exit {done.returncode}\n{done.stderr[-3000:]}")
    return dict(line.split(" = ", 1) for line in done.stdout.splitlines() if " = " in line)
