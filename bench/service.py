"""The service's benchmark table, measured with wrk over HTTPS through nginx.

Rows: nginx answering a fixed instruction by itself (the reference, in the
same run), /getinstaller with recording on for SQLite and for PostgreSQL,
/error/ recording for both, and /getinstaller with gunicorn stopped, where
nginx gives its fallback answer. After each run the rows recorded in the
database are counted against the requests the service answered (nginx's
access log, by gunicorn's status) plus the fallback answers nginx gave (its
fallback log, which the service reads into the store): any difference is a
lost record. Run through bench/service.
"""
import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, 'service'))
from stack import App, Stack, free_port, local_host  # noqa: E402
from quillo_service.ingest.fallback import position_name  # noqa: E402
from quillo_service.db import open_store  # noqa: E402
from quillo_service.ingest.positions import ingest_position  # noqa: E402

ID = 'A869DE9FE3C1AB0C0EFA0FA35908BB56EA9DEED0'
KEY = '0123456789abcdef0123456789abcdef01234567'
ASK = '/getinstaller?key=%s&version=0%%2C1%%2C0%%2C220&id=%s' % (KEY, ID)
ERROR = ('/error/?source=gatherkit&code=201&message=&error=0x80004005'
         '&version=0%%2C1%%2C0%%2C220&os=6%%2E1&key=%s' % KEY)
REFERENCE = '/reference'
TARGET_RPS, TARGET_P99_MS = 1500, 50.0

CONFIG = """\
database = "sqlite:///{db}"
default_channel = "stable"
full_installer = "{base}/installers/QuilloFull.exe"
support = "support@example.com"

[limits]
events_per_minute = 1000000000

[channels]
stable = "{base}/installers/Quillo-1.2.exe"
beta = "{base}/installers/Quillo-1.3-beta.exe"

[[rules]]
name = "acme campaign"
key_prefix = "acme"
channel = "beta"

[[rules]]
name = "old launchers"
below_version = "0,1,0,200"
page = "{base}/notice/update"

[[rules]]
name = "beta rollout"
rollout = 25
channel = "beta"
"""


def _tree_cpu(root):
    """CPU seconds (user + system) used so far by a process and all its
    descendants that are still running."""
    ticks = os.sysconf('SC_CLK_TCK')
    children, cpu = {}, {}
    for pid in os.listdir('/proc'):
        if not pid.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % pid) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(pid))
        cpu[int(pid)] = (int(fields[11]) + int(fields[12])) / ticks
    total, todo = 0.0, [root]
    while todo:
        pid = todo.pop()
        total += cpu.get(pid, 0.0)
        todo.extend(children.get(pid, []))
    return total


def stack_cpu(stack):
    """CPU seconds so far of nginx, gunicorn and PostgreSQL, by name."""
    out = {name: _tree_cpu(proc.pid) for name, proc in stack.procs}
    if stack.pg:
        with open(os.path.join(stack.pg.data_dir, 'postmaster.pid')) as f:
            out['postgres'] = _tree_cpu(int(f.readline()))
    return out


def wrk(url, seconds, connections, threads):
    """Runs wrk; returns requests answered, non-2xx answers, socket errors,
    requests per second and the 99th percentile latency in milliseconds."""
    out = subprocess.run(['wrk', '-t%d' % threads, '-c%d' % connections, '-d%ds' % seconds,
                          '--latency', '--timeout', '10s', url],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    scale = {'us': 0.001, 'ms': 1.0, 's': 1000.0}
    p99 = re.search(r'^\s+99%\s+([\d.]+)(us|ms|s)\s*$', out, re.M)
    errors = re.search(r'Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)', out)
    non2xx = re.search(r'Non-2xx or 3xx responses: (\d+)', out)
    return {
        'requests': int(re.search(r'(\d+) requests in', out).group(1)),
        'non2xx': int(non2xx.group(1)) if non2xx else 0,
        'errors': sum(int(n) for n in errors.groups()) if errors else 0,
        'rps': float(re.search(r'Requests/sec:\s+([\d.]+)', out).group(1)),
        'p99': float(p99.group(1)) * scale[p99.group(2)],
    }


def fallback_answers(stack):
    """Lines in nginx's fallback log so far."""
    try:
        with open(stack.fallback_log, 'rb') as f:
            return f.read().count(b'\n')
    except FileNotFoundError:
        return 0


def wait_for_fallback_records(stack, store, seconds=60):
    """Until the service has read nginx's fallback log to its end (its workers
    read it every few seconds)."""
    name = position_name(stack.fallback_log)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not os.path.exists(stack.fallback_log) or \
                ingest_position(store, name)[1] == os.path.getsize(stack.fallback_log):
            return
        time.sleep(0.5)


def measure(stack, store, table, path, args, gunicorn_up=True):
    """One wrk run on path, with the recorded-row check (done later, once
    gunicorn is back, when it is not up)."""
    before_rows = store.count(table) if store else 0
    before_fallback = fallback_answers(stack)
    before_log = len(stack.access_log_entries())
    cpu_before = stack_cpu(stack)
    wrk_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = wrk(stack.url(path), args.seconds, args.connections, args.threads)
    wrk_after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = {name: seconds - cpu_before.get(name, 0.0)
           for name, seconds in stack_cpu(stack).items()}
    cpu['wrk'] = (wrk_after.ru_utime + wrk_after.ru_stime
                  - wrk_before.ru_utime - wrk_before.ru_stime)
    result['load'] = os.getloadavg()[0]
    result['cpu_us'] = {name: seconds / max(result['requests'], 1) * 1e6
                        for name, seconds in cpu.items()}
    # Requests in flight when wrk stopped still finish (nginx ignores the
    # client's hang-up), so wait until their lines are in the log.
    logged = []
    for _ in range(100):
        entries = [e for e in stack.access_log_entries()[before_log:]
                   if e['request'].split()[1] == path]
        answered = len(entries) + (fallback_answers(stack) - before_fallback)
        if answered >= result['requests'] and len(entries) == len(logged):
            break
        logged = entries
        time.sleep(0.1)
    logged = entries
    result['logged'] = len(logged)
    result['by_service'] = sum(1 for e in logged if e['upstream_status'] == '200')
    result['fallback'] = fallback_answers(stack) - before_fallback if table == 'requests' else 0
    result['before_rows'] = before_rows
    result['recorded'] = None
    if store and gunicorn_up:
        count_records(stack, store, table, result)
    return result


def count_records(stack, store, table, result):
    if result['fallback']:
        wait_for_fallback_records(stack, store)
    result['recorded'] = store.count(table) - result['before_rows']


def row(name, r, reference=None):
    ratio = '%.2f' % (r['rps'] / reference['rps']) if reference else ''
    if r['recorded'] is None:
        check = '-'
    else:
        lost = r['by_service'] + r['fallback'] - r['recorded']
        check = '%d recorded / %d answered by the service + %d by nginx\'s fallback (%s)' % (
            r['recorded'], r['by_service'], r['fallback'],
            'none lost' if lost == 0 else '%d LOST' % lost)
    print('| %s | %.0f | %.1f | %s | %d | %d / %d | %s |'
          % (name, r['rps'], r['p99'], ratio, r['requests'], r['non2xx'], r['errors'], check))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--seconds', type=int, default=10, help='length of each wrk run')
    parser.add_argument('--connections', type=int, default=16, help='wrk connections')
    parser.add_argument('--threads', type=int, default=2, help='wrk threads')
    parser.add_argument('--workers', type=int, default=2, help='gunicorn worker processes')
    parser.add_argument('--gthreads', type=int, default=4, help='threads per gunicorn worker')
    parser.add_argument('--worker-class', default='gthread', help='gunicorn worker class')
    parser.add_argument('--nginx-workers', type=int, default=1)
    parser.add_argument('--skip-postgres', action='store_true')
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix='quillo-bench-')
    try:
        port = free_port()
        base = 'https://localhost:%d' % port
        db = os.path.join(folder, 'quillo.db')
        config = os.path.join(folder, 'quillo.toml')
        with open(config, 'w') as f:
            f.write(CONFIG.format(db=db, base=base))
        reference_body = 'GET:%s/installers/Quillo-1.2.exe' % base
        extra = ('location = %s {\n    default_type text/plain;\n    return 200 "%s";\n}'
                 % (REFERENCE, reference_body))

        def new_stack(name, **app):
            state = os.path.join(folder, name)
            return Stack(local_host(state, port, nginx_workers=args.nginx_workers,
                                    extra_locations=extra, client_rate='1000000r/s',
                                    client_burst=1000000),
                         App(state, config, workers=args.workers, threads=args.gthreads,
                             worker_class=args.worker_class, **app))

        print('wrk: %d threads, %d connections, %d s per row; gunicorn: %d %s workers x %d '
              'threads; nginx: %d worker(s); %d cores shared by all'
              % (args.threads, args.connections, args.seconds, args.workers, args.worker_class,
                 args.gthreads, args.nginx_workers, os.cpu_count()), flush=True)
        results = []
        with new_stack('sqlite') as stack:
            store = open_store('sqlite:///' + db)
            ref = measure(stack, None, None, REFERENCE, args)
            results.append(('nginx alone, fixed instruction (reference)', ref))
            results.append(('/getinstaller, SQLite, recording on',
                            measure(stack, store, 'requests', ASK, args)))
            results.append(('/error/ recording, SQLite',
                            measure(stack, store, 'events', ERROR, args)))
            stack.stop_gunicorn()
            fallback = measure(stack, store, 'requests', ASK, args, gunicorn_up=False)
            stack.start_gunicorn()
            count_records(stack, store, 'requests', fallback)
            results.append(('nginx fallback, gunicorn stopped', fallback))
            store.close()
        if not args.skip_postgres:
            with new_stack('postgres', postgres=True) as stack:
                store = open_store(stack.database)
                results.append(('/getinstaller, PostgreSQL, recording on',
                                measure(stack, store, 'requests', ASK, args)))
                results.append(('/error/ recording, PostgreSQL',
                                measure(stack, store, 'events', ERROR, args)))
                store.close()

        print()
        print('CPU time per answered request (microseconds), where the time goes; the last '
              'figure is the rate all %d cores would carry if nothing else ran on them:'
              % os.cpu_count())
        for name, r in results:
            total = sum(r['cpu_us'].values())
            print('  %-44s %s; total %.0f -> %.0f req/s (load average %.1f)'
                  % (name, ', '.join('%s %.0f' % (k, v) for k, v in sorted(r['cpu_us'].items())),
                     total, os.cpu_count() * 1e6 / max(total, 1), r['load']))
        print()
        print('| Row | req/s | p99 ms | vs. reference | answered (wrk) | non-2xx / socket '
              'errors | records |')
        print('|---|---|---|---|---|---|---|')
        for name, r in results:
            row(name, r, None if r is ref else ref)
        ask = results[1][1]
        met = ask['rps'] >= TARGET_RPS and ask['p99'] <= TARGET_P99_MS
        lost = any(r['recorded'] is not None
                   and r['recorded'] != r['by_service'] + r['fallback'] for _, r in results)
        bad = any(r['non2xx'] or r['errors'] for _, r in results)
        print()
        print('Target on SQLite: >= %d /getinstaller req/s with p99 <= %.0f ms: %s (%.0f req/s, '
              'p99 %.1f ms); records lost: %s; failed requests: %s'
              % (TARGET_RPS, TARGET_P99_MS, 'met' if met else 'MISSED', ask['rps'], ask['p99'],
                 'yes' if lost else 'none', 'yes' if bad else 'none'))
        return 0 if met and not lost and not bad else 1
    finally:
        shutil.rmtree(folder, True)


if __name__ == '__main__':
    sys.exit(main())
