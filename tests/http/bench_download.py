"""Throughput of Download (silent, into a file) against a plain loop of
4096-byte InternetReadFile calls, both fetching one 64 MiB file from the local
test service over loopback in the same run, alternating, ROUNDS times each (the machine is shared, so
the best and the median say more than one sample). Not part of the test suite:

    QUILLO_BUILD=build python3 tests/http/bench_download.py [--https] [ROUNDS]
"""
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import harness  # noqa: E402
from client import Service  # noqa: E402
from test_download import run_probe  # noqa: E402

SIZE = 64 * 1024 * 1024


def main():
    https = '--https' in sys.argv
    numbers = [int(a) for a in sys.argv[1:] if a.isdigit()]
    rounds = numbers[0] if numbers else 5
    with tempfile.TemporaryDirectory(prefix='bench-') as folder:
        with open(os.path.join(folder, 'file.bin'), 'wb') as f:
            f.write(os.urandom(SIZE))
        with Service().start(folder, harness.ensure_certs()) as svc:
            url = svc.url('/files/file.bin', https)
            out = harness.winpath(os.path.join(folder, 'out.bin'))
            ways = (('Download into a file', ('--out', out)),
                    ('plain 4096-byte InternetReadFile loop', ('--raw',)))
            times = {name: [] for name, _ in ways}
            for _ in range(rounds):
                for name, args in ways:
                    r = run_probe(url, *args)
                    assert r['hr'] == 0 and r['bytes'] == SIZE, r
                    times[name].append(r['elapsed_ms'] / 1000)
            for name, seconds in times.items():
                best, median = min(seconds), statistics.median(seconds)
                print('%-38s best %5.2f s (%5.1f MiB/s)  median %5.2f s (%5.1f MiB/s)' %
                      (name, best, SIZE / 1048576 / best, median, SIZE / 1048576 / median))


if __name__ == '__main__':
    main()
