"""Fault soak: many silent launcher runs whose installer download breaks at
random offsets, once or several times. Every run must still end with exit
code 0, the installer verified and run, and no working folder left; the one
expected failure is a server that ignores Range after a break (code 262).
The seed is printed, so that any run can be repeated.

    python3 tests/soak/soak.py [--runs N] [--seed S]     (or scripts/soak)
"""
import argparse
import collections
import glob
import os
import random
import sys
import tempfile
import shutil

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from scenario import INSTALLER_PATH, Scenario  # noqa: E402

SIZE = 3 << 20
E_FAIL = 0x80004005


def temp_folders():
    prefix = harness.wine_env()['WINEPREFIX']
    return set(glob.glob(os.path.join(prefix, 'drive_c', 'users', '*', 'Temp', '*-*-*-*-*')))


def plan(rng, index):
    """The faults of one run, and the outcome it must have."""
    breaks = sorted(rng.randrange(1, SIZE) for _ in range(rng.randint(1, 4)))
    faults = [{'type': 'drop', 'after': b - (breaks[i - 1] if i else 0)}
              for i, b in enumerate(breaks)]
    kind = 'breaks'
    if index % 10 == 3:
        # A slow server: the first attempt trickles before it breaks.
        faults[0] = [{'type': 'trickle', 'bytes': 65536, 'ms': 5}, faults[0]]
        kind = 'slow server'
    if index % 25 == 7:
        # A server that stops honouring Range after the first break.
        return 'ignores Range', [faults[0]] + [{'type': 'ignore_range'}] * 10, 262
    return kind, faults, 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--runs', type=int, default=200)
    parser.add_argument('--seed', type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print('soak: %d runs, seed %d' % (args.runs, seed), flush=True)
    rng = random.Random(seed)
    counts = collections.Counter()
    problems = []
    folder = tempfile.mkdtemp(prefix='quillo-soak-')
    try:
        with Scenario(folder, installer_size=SIZE) as scenario:
            svc = scenario.service
            for index in range(args.runs):
                kind, faults, expected = plan(rng, index)
                svc.reset()
                scenario.set_instruction('GET:' + scenario.installer_url())
                svc.set_faults(INSTALLER_PATH, faults)
                if os.path.exists(scenario.installer_log):
                    os.remove(scenario.installer_log)
                before = temp_folders()
                code, report, _ = scenario.run_silent()
                ran = os.path.exists(scenario.installer_log)
                left = temp_folders() - before
                if expected == 0:
                    ok = code == 0 and report == b'Installed.\r\n' and ran and not left
                else:
                    ok = code == E_FAIL and report is not None and \
                        report.endswith(b' - %d\r\n' % expected) and not ran
                outcome = '%s: %s' % (kind, 'exit 0' if code == 0 else
                                      'code %d' % expected if ok else 'exit 0x%08x' % code)
                counts[outcome if ok else 'UNEXPECTED ' + outcome] += 1
                if not ok:
                    problems.append((index, kind, faults, code, report, sorted(left)))
    finally:
        shutil.rmtree(folder, True)

    for outcome, n in sorted(counts.items()):
        print('  %-40s %d' % (outcome, n))
    for p in problems:
        print('  problem: run %d (%s) faults %s -> 0x%08x, report %r, left %s' % p)
    print('%d passed, %d failed' % (args.runs - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
