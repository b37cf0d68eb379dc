"""A long build step run with a sign of life: the build tool's output is
read as it comes, and every EVERY seconds one line on standard error says
how long it has run and what the tool last said it reached. A quiet
compile still gets its line; a chatty one gets no more than one line per
period."""
import collections
import re
import subprocess
import sys
import threading
import time

EVERY = 20
# What make and ninja print as they go: "[ 37%] Building ...", "[12/80] ...".
PERCENT = re.compile(r'^\[\s*(\d{1,3})%\]')
STEPS = re.compile(r'^\[(\d+)/(\d+)\]')
TARGET = re.compile(r'Built target (\S+)')


class Failed(Exception):
    """The command exited non-zero; the message holds the tail of its output."""


def where(line, state):
    """Updates state (the tool's last position and finished target) from one
    line of its output."""
    m = PERCENT.match(line)
    if m:
        state['at'] = '%s %%' % m.group(1)
    m = STEPS.match(line)
    if m:
        state['at'] = 'step %s of %s' % m.groups()
    m = TARGET.search(line)
    if m:
        state['targets'] += 1
        state['last'] = m.group(1)


def still(doing, seconds, state):
    """The periodic line: "still building: 40 s, 37 %, 3 targets built (last verifysig)"."""
    parts = ['%d s' % seconds]
    if state['at']:
        parts.append(state['at'])
    if state['targets']:
        parts.append('%d target%s built (last %s)' % (
            state['targets'], '' if state['targets'] == 1 else 's', state['last']))
    return 'still %s: %s' % (doing, ', '.join(parts))


def run(args, doing, every=EVERY, out=None):
    """Runs args (output and errors merged), printing still(...) to out
    (standard error) every `every` seconds until it ends. Raises Failed with
    the last 15 lines of its output when it exits non-zero."""
    out = out or sys.stderr
    state = {'at': None, 'targets': 0, 'last': None}
    tail = collections.deque(maxlen=15)
    start = time.monotonic()
    done = threading.Event()

    def tick():
        while not done.wait(every):
            print(still(doing, time.monotonic() - start, state), file=out, flush=True)

    child = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, errors='replace')
    ticker = threading.Thread(target=tick, daemon=True)
    ticker.start()
    try:
        for line in child.stdout:
            tail.append(line.rstrip())
            where(line, state)
        child.wait()
    finally:
        done.set()
        ticker.join()
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
    if child.returncode != 0:
        raise Failed('exit %d:\n  %s' % (child.returncode, '\n  '.join(tail)))
    return time.monotonic() - start
