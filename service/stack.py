"""Runs the whole service on one machine: nginx in front (TLS, the installer
folder, the proxy), gunicorn with the application behind it, and optionally a
temporary PostgreSQL cluster. scripts/serve, the demo, the end-to-end tests
and the benchmark all start it through `Stack`. What nginx is told comes
from nginx_config, from the same description as in production; this file
only starts and stops the processes.

Everything lives in one state folder: certificates made here, nginx's
configuration, logs, pid and temporary files, gunicorn's socket and log. (A
PostgreSQL cluster, which runs as the postgres user, gets a temporary folder
of its own from pgcluster.) nginx and gunicorn are stopped by `Stack.stop`,
on Ctrl-C, and by the kernel when this process dies (parent-death signal);
PostgreSQL by `Stack.stop`.

Only the standard library is used here, so that the test and demo scripts,
which run with another Python, can import it; the application itself always
runs under /usr/bin/python3, where Debian's Flask and gunicorn live.

    /usr/bin/python3 service/stack.py nginx-conf --host setup.example.com \\
        --cert /etc/ssl/quillo.crt --cert-key /etc/ssl/private/quillo.key \\
        --installers /srv/quillo/installers --upstream unix:/run/quillo/gunicorn.sock \\
        --fallback /var/lib/quillo/fallback

prints the nginx configuration for a production host (add --front ADDRESS for
a host behind a balancer, --site for a site beside Debian's nginx.conf), and
`stack.py front-conf --host ... --hosts 10.0.0.11:443,10.0.0.12:443 --ca ...`
that of the balancer (see DEPLOY.md).
"""
import argparse
import ctypes
import dataclasses
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.parse

import nginx_config

SERVICE = os.path.dirname(os.path.abspath(__file__))
PYTHON = '/usr/bin/python3'
START_SECONDS = 30


def make_local_ca(folder):
    """A local CA and a certificate for localhost issued by it, made once
    with openssl: folder/ca.crt, folder/server.crt and folder/server.key. A
    browser or a Wine prefix that trusts ca.crt accepts the local service."""
    if os.path.exists(os.path.join(folder, 'server.crt')):
        return folder
    os.makedirs(folder, exist_ok=True)
    work = os.path.join(folder, 'work')
    os.makedirs(work, exist_ok=True)
    ext = os.path.join(work, 'ext.cnf')
    with open(ext, 'w') as f:
        f.write('[req]\ndistinguished_name = dn\n[dn]\n'
                '[ca]\nbasicConstraints = critical, CA:TRUE\n'
                'keyUsage = critical, keyCertSign, cRLSign\nsubjectKeyIdentifier = hash\n'
                '[server]\nbasicConstraints = critical, CA:FALSE\n'
                'keyUsage = critical, digitalSignature, keyEncipherment\n'
                'extendedKeyUsage = serverAuth\n'
                'subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1\n'
                'subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n')

    def openssl(*args):
        subprocess.run(['openssl'] + list(args), check=True, capture_output=True)

    ca_key, ca_crt = os.path.join(work, 'ca.key'), os.path.join(work, 'ca.crt')
    key, csr, crt = (os.path.join(work, n) for n in ('server.key', 'server.csr', 'server.crt'))
    openssl('req', '-x509', '-new', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-days', '825',
            '-subj', '/CN=Quillo local CA', '-keyout', ca_key, '-out', ca_crt,
            '-config', ext, '-extensions', 'ca')
    openssl('req', '-new', '-newkey', 'rsa:2048', '-nodes', '-sha256', '-subj', '/CN=localhost',
            '-keyout', key, '-out', csr)
    openssl('x509', '-req', '-sha256', '-days', '825', '-in', csr, '-CA', ca_crt,
            '-CAkey', ca_key, '-set_serial', '0x' + os.urandom(8).hex(),
            '-extfile', ext, '-extensions', 'server', '-out', crt)
    for name in ('ca.key', 'server.key'):
        os.chmod(os.path.join(work, name), 0o600)
    # server.crt last: its presence marks a complete set.
    for name in ('ca.key', 'ca.crt', 'server.key', 'server.crt'):
        os.replace(os.path.join(work, name), os.path.join(folder, name))
    shutil.rmtree(work, True)
    return folder


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def port_owner(port, address='127.0.0.1'):
    """Who listens on a TCP port of this machine at `address` (or at every
    address), as ss tells it, or None when nobody does."""
    try:
        out = subprocess.run(['ss', '-Hltnp', 'sport = :%d' % port], capture_output=True,
                             text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        out = ''
    # Another loopback address's listener on the same port (the hosts of
    # `scripts/serve --hosts` beside the front) is no obstacle.
    wildcard = ('0.0.0.0', '*', '[::]', '[::ffff:%s]' % address, address)
    out = '\n'.join(line for line in out.splitlines()
                    if len(line.split()) > 3 and line.split()[3].rsplit(':', 1)[0] in wildcard)
    if out:
        users = re.findall(r'users:\(\((.*)\)\)', out)
        return users[0] if users else out.splitlines()[0]
    with socket.socket() as s:
        # As a server binds: connections of an earlier server that linger in
        # TIME_WAIT do not hold the port.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((address, port))
        except OSError:
            return 'an unknown process'
    return None


def ensure_port_free(port, address='127.0.0.1'):
    """Refuses, saying who holds it, to start a server on a loopback port
    that a process of someone else's already listens on: a probe of that port
    would otherwise find the stranger and take it for the new server."""
    owner = port_owner(port, address)
    if owner:
        raise RuntimeError('port %d of %s is already in use by a process this run did not start '
                           '(%s); stop it, or choose another port' % (port, address, owner))


def _die_with_parent():
    """Runs in the child before exec: the kernel sends it SIGTERM when the
    process that started it dies, however that happens."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _tail(path, lines=20):
    try:
        with open(path, errors='replace') as f:
            return ''.join(f.readlines()[-lines:])
    except OSError:
        return ''


def _children(pid):
    """The pids of a process's children (gunicorn's or nginx's workers)."""
    try:
        with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def start_postgres(settings=None):
    """A temporary PostgreSQL cluster, started (pgcluster.Postgres)."""
    sys.path.insert(0, SERVICE)
    from pgcluster import Postgres
    return Postgres(settings=dict({'max_connections': '200'}, **(settings or {}))).start()


def _probe(address):
    """True once something answers an HTTP request at address ('unix:PATH' or
    'HOST:PORT'). The path asked for is no route of the service, so probing
    records nothing."""
    if address.startswith('unix:'):
        s = socket.socket(socket.AF_UNIX)
        target = address[5:]
    else:
        s = socket.socket()
        host, port = address.rsplit(':', 1)
        target = (host, int(port))
    try:
        s.settimeout(2)
        s.connect(target)
        s.sendall(b'GET /-stack-probe HTTP/1.0\r\nHost: localhost\r\n\r\n')
        return s.recv(16).startswith(b'HTTP/')
    except OSError:
        return False
    finally:
        s.close()


@dataclasses.dataclass(frozen=True)
class App:
    """What gunicorn runs for one host, and how.

    state: the host's state folder (gunicorn's socket, pid and log; for a
    named host also its STATE_DIRECTORY, where the spool and the client
    secret live). config: the service's TOML file. database: overrides the
    configuration's store; postgres=True starts a temporary PostgreSQL
    cluster (pgcluster.Postgres, run as the postgres user in a folder of its
    own; postgres_settings: its settings) and uses it. workers, threads,
    worker_class: gunicorn's. name: the host's name among several, which
    gunicorn gets as QUILLO_SERVICE_HOST. env: more environment for
    gunicorn."""
    state: str
    config: str
    database: str = None
    postgres: bool = False
    postgres_settings: dict = None
    workers: int = 2
    threads: int = 4
    worker_class: str = 'gthread'
    name: str = None
    env: dict = None


def local_host(state, port=8443, address='127.0.0.1', certs=None, installers=None,
               nginx_workers=1, **more):
    """The nginx_config.Host of a host run on this machine from the folder
    `state`: nginx's own files in state/nginx, the fallback folder
    state/fallback, the certificates of `certs` (default state/certs, where
    a local CA is made at the start), the installers of `installers`
    (default state/installers), gunicorn at state/gunicorn.sock, or on a
    free loopback port where that path is too long for a unix socket, and
    nginx on address:port. more: other fields of Host (fronts, client_rate,
    installer_options, ...)."""
    state = os.path.abspath(state)
    certs = os.path.abspath(certs) if certs else os.path.join(state, 'certs')
    sock = os.path.join(state, 'gunicorn.sock')
    fields = dict(
        name='localhost', cert=os.path.join(certs, 'server.crt'),
        cert_key=os.path.join(certs, 'server.key'),
        installers=os.path.abspath(installers or os.path.join(state, 'installers')),
        fallback=os.path.join(state, 'fallback'),
        # A unix socket's path must fit in 108 bytes.
        upstream='unix:' + sock if len(sock) < 100 else '127.0.0.1:%d' % free_port(),
        listen='%s:%d' % (address, port), local=_local(state, nginx_workers))
    fields.update(more)
    return nginx_config.Host(**fields)


def local_front(state, hosts, port=8443, address='127.0.0.1', certs=None, fail_timeout='5s'):
    """The nginx_config.Front of a front run on this machine from `state`,
    over `hosts` ('ADDRESS:PORT' each), whose certificates it checks against
    the local CA of `certs` (default state/certs) for the name localhost;
    its own answer in state/answer."""
    state = os.path.abspath(state)
    certs = os.path.abspath(certs) if certs else os.path.join(state, 'certs')
    return nginx_config.Front(
        name='localhost', cert=os.path.join(certs, 'server.crt'),
        cert_key=os.path.join(certs, 'server.key'), hosts=tuple(hosts),
        ca=os.path.join(certs, 'ca.crt'), listen='%s:%d' % (address, port),
        local=_local(state), fail_timeout=fail_timeout, answer=os.path.join(state, 'answer'))


def _local(state, workers=1):
    # Workers would otherwise run as nobody, who cannot read a state folder
    # under /root.
    return nginx_config.Local(os.path.join(state, 'nginx'), as_root=os.geteuid() == 0,
                              workers=workers)


class _Processes:
    """The children of one local nginx (and whatever else a subclass
    starts): started, watched and stopped. `nginx` is its description, an
    nginx_config Host or Front with a Local."""

    def __init__(self, nginx):
        self.nginx = nginx
        self.procs = []  # (name, Popen), in start order

    # -- addresses -----------------------------------------------------------
    @property
    def listen(self):
        """nginx's address, 'ADDRESS:PORT'."""
        return self.nginx.listen

    @property
    def address(self):
        return self.nginx.listen.rsplit(':', 1)[0]

    @property
    def port(self):
        return int(self.nginx.listen.rsplit(':', 1)[1])

    def url(self, path='/'):
        # A host of several is reached at its own address (the certificate
        # names localhost only, which is the front's).
        name = self.nginx.name if self.address == '127.0.0.1' else self.address
        return 'https://%s:%d%s' % (name, self.port, path)

    @property
    def certs(self):
        return os.path.dirname(self.nginx.cert)

    @property
    def ca(self):
        return os.path.join(self.certs, 'ca.crt')

    @property
    def nginx_dir(self):
        return self.nginx.local.folder

    # -- start and stop ------------------------------------------------------
    def _make_certs(self):
        if not os.path.exists(self.nginx.cert):
            make_local_ca(self.certs)

    def _spawn(self, name, args, env=None, log=None):
        out = open(log, 'ab') if log else subprocess.DEVNULL
        try:
            proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT if log else subprocess.DEVNULL,
                                    start_new_session=True, preexec_fn=_die_with_parent)
        finally:
            if log:
                out.close()
        self.procs.append((name, proc))
        return proc

    def _wait(self, name, proc, ready, log):
        deadline = time.monotonic() + START_SECONDS
        while not ready():
            if proc.poll() is not None or time.monotonic() > deadline:
                tail = _tail(log)
                # The application refuses a bad configuration or database
                # with one clear line; show that rather than the traceback.
                reasons = re.findall(r'^quillo_service\.[\w.]*Error: (.*)$', tail, re.M)
                if reasons:
                    raise RuntimeError('%s did not start: %s' % (name, reasons[-1]))
                raise RuntimeError('%s did not start (exit %s); last lines of %s:\n%s'
                                   % (name, proc.poll(), log, tail))
            time.sleep(0.05)

    def nginx_config(self):
        """The nginx.conf this nginx runs with."""
        raise NotImplementedError

    def _start_nginx(self):
        d = self.nginx_dir
        for folder in self.nginx.local.temp_folders:
            os.makedirs(folder, exist_ok=True)
        conf = os.path.join(d, 'nginx.conf')
        with open(conf, 'w') as f:
            f.write(self.nginx_config())
        log = os.path.join(d, 'error.log')
        ensure_port_free(self.port, self.address)
        proc = self._spawn('nginx', ['nginx', '-c', conf, '-p', d, '-e', log], log=log)

        def listening():
            try:
                socket.create_connection((self.address, self.port), 0.5).close()
                return True
            except OSError:
                return False
        self._wait('nginx', proc, listening, log)

    def kill(self):
        """Kills every child, masters and workers, at once (SIGKILL), as a
        host that loses its power: no request is finished, nothing is
        cleaned up. start() brings the host back with what it left behind."""
        for name, proc in self.procs:
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            proc.wait()
        self.procs = []

    def pids(self, name):
        """The pids of a child's processes: its master and its workers."""
        for n, proc in self.procs:
            if n == name and proc.poll() is None:
                return [proc.pid] + _children(proc.pid)
        return []

    def reopen_nginx_logs(self):
        """What logrotate asks of nginx after moving its logs away."""
        for name, proc in self.procs:
            if name == 'nginx':
                proc.send_signal(signal.SIGUSR1)

    def stop(self):
        """Stops the children, the last started first: nginx first (no new
        requests), then gunicorn (finishes the requests it has)."""
        for name, proc in reversed(self.procs):
            if proc.poll() is None:
                # nginx: SIGQUIT is its graceful stop; gunicorn: SIGTERM.
                proc.send_signal(signal.SIGQUIT if name == 'nginx' else signal.SIGTERM)
                try:
                    proc.wait(15)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        self.procs = []

    def dead(self):
        """Names of the children that have ended by themselves."""
        return [name for name, proc in self.procs if proc.poll() is not None]

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Stack(_Processes):
    """nginx + gunicorn (+ PostgreSQL) for one host: nginx as `host`
    describes it (an nginx_config.Host for this machine, as local_host
    makes it), gunicorn as `app` does (App)."""

    def __init__(self, host, app):
        super().__init__(host)
        self.app = app
        self.state = os.path.abspath(app.state)
        self.config = os.path.abspath(app.config)
        self.database = app.database  # a temporary PostgreSQL's once started
        self.gunicorn_log = os.path.join(self.state, 'gunicorn.log')
        self.pg = None

    @property
    def name(self):
        return self.app.name

    @property
    def upstream(self):
        """gunicorn's address, unix:PATH or HOST:PORT."""
        return self.nginx.upstream

    @property
    def installers(self):
        return self.nginx.installers

    @property
    def fallback_dir(self):
        """The answer nginx gives when gunicorn cannot, and its logs."""
        return self.nginx.fallback

    @property
    def fallback_log(self):
        return os.path.join(self.fallback_dir, 'fallback.log')

    @property
    def downloads_log(self):
        return os.path.join(self.fallback_dir, 'downloads.log')

    def nginx_config(self):
        return nginx_config.host_config(self.nginx)

    def start(self):
        os.makedirs(self.state, exist_ok=True)
        os.makedirs(self.installers, exist_ok=True)
        os.makedirs(self.fallback_dir, exist_ok=True)  # nginx opens its logs there
        self._make_certs()
        try:
            if self.app.postgres:
                self.pg = start_postgres(self.app.postgres_settings)
                self.database = self.pg.url
            self.start_gunicorn()
            self._start_nginx()
        except BaseException:
            self.stop()
            raise
        return self

    def start_gunicorn(self):
        """Starts gunicorn, at the upstream address nginx has (again after
        stop_gunicorn)."""
        app = self.app
        if self.upstream.startswith('unix:'):
            sock = self.upstream[len('unix:'):]
            if os.path.exists(sock):
                if _probe(self.upstream):
                    raise RuntimeError('another service already runs from %s' % self.state)
                os.remove(sock)
        else:
            ensure_port_free(int(self.upstream.rsplit(':', 1)[1]))
        env = dict(os.environ, QUILLO_SERVICE_CONFIG=self.config, PYTHONDONTWRITEBYTECODE='1',
                   QUILLO_SERVICE_FALLBACK=self.fallback_dir,
                   # nginx reaches a TCP upstream from loopback.
                   QUILLO_SERVICE_PROXIES='' if self.upstream.startswith('unix:')
                   else '127.0.0.1')
        if app.name:
            env.update(QUILLO_SERVICE_HOST=app.name, STATE_DIRECTORY=self.state)
        env.update(app.env or {})
        env.pop('PYTHONPATH', None)
        env.pop('PYTHONHOME', None)
        if self.database:
            env['QUILLO_SERVICE_DATABASE'] = self.database
        else:
            env.pop('QUILLO_SERVICE_DATABASE', None)
        args = [PYTHON, '-m', 'gunicorn', '--chdir', SERVICE, '--bind', self.upstream,
                '--workers', str(app.workers), '--worker-class', app.worker_class,
                # gunicorn turns a sync worker with threads into gthread.
                '--threads', str(app.threads if app.worker_class != 'sync' else 1),
                '--keep-alive', '10', '--timeout', '30',
                # Room for an error query with a key near its bound and a
                # long message; the service cuts and marks over-long fields.
                '--limit-request-line', '8190',
                '--graceful-timeout', '5', '--worker-tmp-dir', '/dev/shm',
                '--pid', os.path.join(self.state, 'gunicorn.pid'),
                'quillo_service:create_app()']
        if os.path.exists(self.gunicorn_log):
            os.remove(self.gunicorn_log)
        proc = self._spawn('gunicorn', args, env, self.gunicorn_log)
        self._wait('gunicorn', proc, lambda: _probe(self.upstream), self.gunicorn_log)

    def stop_gunicorn(self):
        """Stops gunicorn alone (nginx then answers with its fallback)."""
        for name, proc in self.procs:
            if name == 'gunicorn' and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(15)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
        self.procs = [(n, p) for n, p in self.procs if n != 'gunicorn']

    def stop(self):
        """Stops nginx, then gunicorn, then PostgreSQL."""
        super().stop()
        if self.pg:
            self.pg.stop()
            self.pg = None

    def access_log_entries(self):
        """What nginx answered so far, oldest first: dicts with the client,
        the request line, status, body bytes sent, seconds, Range header and
        the status gunicorn gave ('-' when nginx answered alone). Fallback
        answers to /getinstaller are logged apart, in fallback_log."""
        path = self.nginx.access_log
        if not os.path.exists(path):
            return []
        out = []
        with open(path, errors='replace') as f:
            for line in f:
                parts = line.rstrip('\n').split('|')
                if len(parts) != 7:
                    continue
                client, request, status, sent, seconds, rng, upstream = parts
                out.append({'client': client, 'request': request, 'status': int(status),
                            'sent': int(sent), 'seconds': float(seconds), 'range': rng,
                            'upstream_status': upstream})
        return out


class Front(_Processes):
    """nginx, as the front of several hosts, as `front` describes it (an
    nginx_config.Front for this machine, as local_front makes it), and
    beside it `scripts/quillo front-answer`, which keeps the front's own
    answer (front.answer/answer.txt) following the configuration `config`."""

    def __init__(self, front, config=None):
        super().__init__(front)
        self.config = config and os.path.abspath(config)

    @property
    def log_path(self):
        return self.nginx.log

    @property
    def answer_log(self):
        return os.path.join(os.path.dirname(self.nginx.answer), 'answer.log')

    @property
    def answer_file(self):
        return os.path.join(self.nginx.answer, 'answer.txt')

    @property
    def fallback_log(self):
        """The answers the front gave itself, for a host to read in."""
        return self.nginx.fallback_log

    def answer(self):
        """What the front gives /getinstaller when no host can, or None."""
        try:
            with open(self.answer_file, errors='replace') as f:
                return f.read()
        except OSError:
            return None

    def nginx_config(self):
        return nginx_config.front_config(self.nginx)

    def start(self):
        self._make_certs()
        try:
            if self.config:
                self._start_answer()
            self._start_nginx()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_answer(self):
        """The answer keeper, with the service's own code (so under
        /usr/bin/python3); started first, so that nginx has the file."""
        os.makedirs(self.nginx.answer, exist_ok=True)
        if os.path.exists(self.answer_file):
            os.remove(self.answer_file)  # a file of an earlier run is no sign of this one
        log = self.answer_log
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE='1', PYTHONPATH=SERVICE)
        env.pop('PYTHONHOME', None)
        proc = self._spawn('answer', [PYTHON, '-m', 'quillo_service', 'front-answer',
                                      self.config, self.nginx.answer], env, log)
        self._wait('the front\'s answer', proc, lambda: os.path.exists(self.answer_file), log)

    def log_entries(self):
        """The front's log, oldest first: dicts with the client, the request's
        id, request line, status, the hosts tried and their statuses."""
        out = []
        try:
            with open(self.log_path, errors='replace') as f:
                for line in f:
                    parts = line.rstrip('\n').split('|')
                    if len(parts) == 7:
                        out.append(dict(zip(('client', 'id', 'request', 'status', 'hosts',
                                             'host_status', 'seconds'), parts)))
        except FileNotFoundError:
            pass
        return out


def host_address(i):
    """The loopback address of host i (0-based) of a local multi-host run."""
    return '127.0.0.%d' % (11 + i)


class Hosts:
    """Several service hosts on this machine, as on several machines: host i
    is a Stack listening on its own loopback address (127.0.0.11, .12, ...)
    with its own state folder (state/host1, ...), all sharing one PostgreSQL
    database (a temporary cluster unless app.database names one), behind a
    Front on 127.0.0.1:`port`. `app` is each host's gunicorn, with app.state
    the folder of the whole run; installers: the folder all hosts serve
    (default state/installers)."""

    def __init__(self, app, count, port=8443, fail_timeout='5s', installers=None):
        self.state = os.path.abspath(app.state)
        self.config = os.path.abspath(app.config)
        if app.database and _is_sqlite(app.database):
            raise ValueError('several hosts share one PostgreSQL database; SQLite is a file on '
                             'one machine (give --database postgresql://... or none, for a '
                             'temporary PostgreSQL)')
        self.database = app.database
        self.postgres_settings = app.postgres_settings
        self.pg = None
        certs = os.path.join(self.state, 'certs')
        # One installer folder for all, standing for the same files on each machine.
        installers = installers or os.path.join(self.state, 'installers')
        front = local_front(os.path.join(self.state, 'front'),
                            ['%s:%d' % (host_address(i), port) for i in range(count)], port,
                            certs=certs, fail_timeout=fail_timeout)
        self.front = Front(front, self.config)
        self.hosts = []
        for i in range(count):
            name = 'host%d' % (i + 1)
            state = os.path.join(self.state, name)
            env = dict(app.env or {})
            if i == 0:
                # One host reads the front's own answers into the records,
                # as it reads its own nginx's (all hosts would count each
                # one again once the ids' window had passed).
                env['QUILLO_SERVICE_FRONT_LOG'] = front.fallback_log
            self.hosts.append(Stack(
                local_host(state, port, host_address(i), certs, installers,
                           fronts=('127.0.0.1',)),
                dataclasses.replace(app, state=state, name=name, postgres=False, env=env)))

    def url(self, path='/'):
        return self.front.url(path)

    def start(self):
        try:
            if not self.database:
                self.pg = start_postgres(self.postgres_settings)
                self.database = self.pg.url
            for i, h in enumerate(self.hosts):
                h.database = self.database
                if i:
                    self._share_secret(h)
                h.start()
            self.front.start()
        except BaseException:
            self.stop()
            raise
        return self

    def _share_secret(self, host):
        """Hosts sharing a database must share the client secret, which the
        first host made in its state folder (unless the configuration names
        its file): a copy goes to each other host, as on real machines."""
        first = os.path.join(self.hosts[0].state, 'client.secret')
        if os.path.exists(first):
            os.makedirs(host.state, exist_ok=True)
            shutil.copy(first, os.path.join(host.state, 'client.secret'))
            os.chmod(os.path.join(host.state, 'client.secret'), 0o600)

    def stop(self):
        """The front first (no new requests), then each host, then PostgreSQL."""
        self.front.stop()
        for h in self.hosts:
            h.stop()
        if self.pg:
            self.pg.stop()
            self.pg = None

    def dead(self):
        return (['front ' + n for n in self.front.dead()] +
                ['%s %s' % (h.name, n) for h in self.hosts for n in h.dead()])

    def fatal(self, dead):
        """Whether the children ended (names from dead()) leave nothing to
        serve: the front's nginx. With every host down the front still
        answers /getinstaller itself (every_host_down says so)."""
        return 'front nginx' in dead

    def every_host_down(self, dead):
        """Whether the children ended (names from dead()) are at least one
        of each host's."""
        return {name.split()[0] for name in dead} >= {h.name for h in self.hosts}

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _is_sqlite(database):
    return not database.startswith(('postgresql://', 'postgres://'))


def _stop_on_signals():
    """Ctrl-C, a closed terminal and a plain kill all end up in the same
    orderly stop (SIGINT too, even when the shell started us with it
    ignored)."""
    def handler(signum, frame):
        raise KeyboardInterrupt
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, handler)


def database_of(config, override=None):
    """The store the service will use, for people to read: the override, else
    the configuration's `database`, as the application resolves it."""
    import tomllib
    sys.path.insert(0, SERVICE)
    from quillo_service.settings import sqlite_path
    value = override
    if not value:
        with open(config, 'rb') as f:
            value = tomllib.load(f).get('database', '')
    path = sqlite_path(value, os.path.dirname(os.path.abspath(config)))
    if path is not None:
        return os.path.abspath(path)
    at = value.rfind('@')  # leave any password out
    return value if at < 0 else value.split('://', 1)[0] + '://...' + value[at:]


def _has_password(url):
    parts = urllib.parse.urlsplit(url)
    return bool(parts.password) or 'password' in urllib.parse.parse_qs(parts.query)


def quillo_line(config, override=None, command='rollouts', rest=''):
    """The scripts/quillo line, to paste at the repository's root, that
    reaches the store served with `config` and `override` (--database, or
    the temporary PostgreSQL's address; None: the configuration's own):
    `command` with the configuration, then `rest`."""
    command = 'scripts/quillo %s %s' % (command, shlex.quote(os.path.abspath(config)))
    command += ' ' + rest if rest else ''
    where = '(from the repository root)'
    if not override:
        # The service runs without QUILLO_SERVICE_DATABASE (Stack drops it);
        # a shell that has it set would reach that database instead.
        if os.environ.get('QUILLO_SERVICE_DATABASE'):
            command = "QUILLO_SERVICE_DATABASE='' " + command
        return '%s  %s' % (command, where)
    if _has_password(override):
        return ('%s  (from the repository root, with QUILLO_SERVICE_DATABASE set to the address '
                'given to --database; it holds a password, which is not printed)' % command)
    # A SQLite file as the service resolves it (a relative one from the
    # configuration's folder), since the line is run from another folder.
    value = database_of(config, override) if _is_sqlite(override) else override
    return 'QUILLO_SERVICE_DATABASE=%s %s  %s' % (shlex.quote(value), command, where)


def _print_stack(stack, config, database, indent='', command=None):
    print(indent + 'Quillo service on %s' % stack.url('/'))
    print(indent + '  instructions   %s' % stack.url('/getinstaller?key=...&version=...&id=...'))
    print(indent + '  error page     %s' % stack.url('/error/?source=gatherkit&code=...'))
    print(indent + '  installers     %s  (served at %s)' % (stack.installers,
                                                            stack.url('/installers/')))
    print(indent + '  configuration  %s  (edits apply without a restart)' % config)
    print(indent + '  database       %s' % database)
    if command:
        print(indent + '  command line   %s' % command)
    print(indent + '  local CA       %s  (trust it to use the service without warnings)'
          % stack.ca)
    print(indent + '  certificate    %s' % os.path.join(stack.certs, 'server.crt'))
    print(indent + '  key            %s' % os.path.join(stack.certs, 'server.key'))
    print(indent + '  fallback       %s  (nginx\'s answer when gunicorn cannot give one, '
          'and its log)' % stack.fallback_dir)
    print(indent + '  logs           %s, %s' % (stack.gunicorn_log,
                                                os.path.join(stack.nginx_dir, 'error.log')))


def _quillo(args, database, password=None):
    """The service's command line with `args`, reaching the store the service
    is given (`database` overrides the configuration's, as
    QUILLO_SERVICE_DATABASE does for gunicorn): the finished process, its
    output as text. It is the application's code, so it runs under
    /usr/bin/python3 with the service on its path, as make_demo_data does."""
    env = dict(os.environ, PYTHONPATH=SERVICE)
    env.pop('PYTHONHOME', None)
    if database:
        env['QUILLO_SERVICE_DATABASE'] = database
    else:
        env.pop('QUILLO_SERVICE_DATABASE', None)
    return subprocess.run([PYTHON, '-m', 'quillo_service'] + list(args), env=env, cwd=SERVICE,
                          input='' if password is None else password + '\n',
                          capture_output=True, text=True, timeout=120)


def first_user(config, database=None, port=8443, name='admin'):
    """The console's login, printed once the service is up (it has made the
    store): with no [admin] table in `config` and no user in the store,
    makes the user `name` with a random password and prints it, in the
    words the demo uses; where a user exists, no password, but how to add
    one. Returns the password made, or None."""
    import secrets
    import tomllib
    console = 'https://localhost:%d/admin/' % port
    add = quillo_line(config, database, 'users', 'add NAME')
    with open(config, 'rb') as f:
        if 'admin' in tomllib.load(f):
            print('dashboard: %s with the [admin] credentials of your configuration, or a user '
                  'of the store; add one with %s' % (console, add))
            return None
    listed = _quillo(['users', config, 'list', '--json'], database)
    if listed.returncode != 0:
        print('serve: the console\'s users could not be read: %s'
              % (listed.stderr.strip().splitlines() or ['exit %d' % listed.returncode])[-1],
              file=sys.stderr)
        return None
    if json.loads(listed.stdout):
        print('dashboard: %s with one of the users the store holds; add one with %s'
              % (console, add))
        return None
    password = secrets.token_hex(8)
    made = _quillo(['users', config, 'add', name], database, password)
    if made.returncode != 0:
        print('serve: no user could be made for the console: %s'
              % (made.stderr.strip().splitlines() or ['exit %d' % made.returncode])[-1],
              file=sys.stderr)
        return None
    print('dashboard: %s with user %s and password %s' % (console, name, password))
    return password


def make_demo_data(config, state, port):
    """Makes state/demo.db, a month of made-up records, and state/demo.toml,
    `config` naming it as its database (quillo_service.demo_data, which
    prints the dashboard's login). It is the application's code, so it runs
    under /usr/bin/python3 with the service on its path, as gunicorn does:
    this file imports no more than the standard library. Returns demo.toml,
    or None when the demo data could not be made (it said why)."""
    env = dict(os.environ, PYTHONPATH=SERVICE)
    env.pop('PYTHONHOME', None)
    done = subprocess.run([PYTHON, '-m', 'quillo_service.demo_data', '--config', config,
                           '--state', state, '--port', str(port)], env=env)
    return os.path.join(state, 'demo.toml') if done.returncode == 0 else None


def serve(args):
    """scripts/serve: the whole service on localhost, in the foreground.
    `args` as serve_arguments returns them."""
    config = os.path.abspath(args.config)
    state = os.path.join(SERVICE, 'var')
    if args.demo_data:
        try:
            config = make_demo_data(config, state, args.port)
        except KeyboardInterrupt:
            print('\nStopped before serving.', file=sys.stderr)
            return 130
        if config is None:
            print('serve: the demo data could not be made; see above', file=sys.stderr)
            return 1
    try:
        app = App(state, config, database=args.database, workers=args.workers)
        if args.hosts > 1 or args.hosts_given:
            stack = Hosts(app, args.hosts, port=args.port, installers=args.installers)
        else:
            stack = Stack(local_host(state, args.port, installers=args.installers), app)
    except ValueError as e:
        print('serve: %s' % e, file=sys.stderr)
        return 2
    _stop_on_signals()
    try:
        stack.start()
        if isinstance(stack, Hosts):
            database = database_of(config, stack.database)
            print('Quillo service on %s, balanced over %d hosts' % (stack.url('/'),
                                                                    len(stack.hosts)))
            print('  front          %s  (log %s, errors %s)'
                  % (stack.front.listen, stack.front.log_path,
                     os.path.join(stack.front.nginx_dir, 'error.log')))
            print('  front answer   %s  (what /getinstaller gets when no host can answer; '
                  'logged to %s, which %s reads in)' % (stack.front.answer_file,
                                                       stack.front.fallback_log,
                                                       stack.hosts[0].name))
            print('  command line   %s' % quillo_line(config, stack.database))
            for h in stack.hosts:
                print('%s at %s, state folder %s' % (h.name, h.listen, h.state))
                _print_stack(h, config, database, indent='  ')
        else:
            _print_stack(stack, config, database_of(config, args.database),
                         command=quillo_line(config, args.database))
        if not args.demo_data:  # the demo printed its own login
            # Once for all hosts, which share the database.
            first_user(config, stack.database, args.port)
        print('Ctrl-C stops everything.', flush=True)
        told = set()
        while True:
            dead = stack.dead()
            if dead and isinstance(stack, Hosts) and not stack.fatal(dead):
                # One host down is what the front is there for: the others go
                # on, and the dead host's leftovers wait for its next start.
                # With every host down the front still answers launchers.
                new = sorted(set(dead) - told)
                told.update(dead)
                everyone = stack.every_host_down(dead)
                for name in new:
                    print(ended_line(name, everyone, stack.front.answer_log), file=sys.stderr,
                          flush=True)
                if everyone and 'every host' not in told:
                    told.add('every host')
                    print(every_host_down_line(sorted(h.name for h in stack.hosts),
                                               stack.front.answer()),
                          file=sys.stderr, flush=True)
            elif dead:
                print('%s ended unexpectedly; see the logs above. Stopping.' % ', '.join(dead),
                      file=sys.stderr)
                return 1
            time.sleep(0.5)
    except KeyboardInterrupt:
        print('\nStopping...', flush=True)
        return 0
    except (RuntimeError, OSError, ValueError) as e:
        print('serve: %s' % e, file=sys.stderr)
        return 1
    finally:
        stack.stop()


def ended_line(name, every_host, answer_log='its log'):
    """What scripts/serve --hosts says when one of its children ends
    (`name` from Hosts.dead()); every_host: no host is left."""
    if name == 'front answer':
        return ('front answer ended unexpectedly; see %s. The front goes on with the last '
                'answer written, but no longer follows edits of the configuration: restart '
                'scripts/serve to follow them again.' % answer_log)
    return '%s ended unexpectedly; see its logs above.%s' % (
        name, '' if every_host else ' The other hosts go on.')


def every_host_down_line(names, answer):
    """The line scripts/serve --hosts prints once every host has died: what
    happened, what launchers get now, what to do."""
    gets = ('%s (the configured default answer, or the maintenance answer while maintenance '
            'is on; it follows edits of the configuration)' % answer if answer
            else 'nothing usable: the front has no answer file')
    return ('Every host has died (%s). The front goes on: launchers asking /getinstaller get '
            'the front\'s own answer %s, which a host records once it is back; everything '
            'else (error pages, installers, the console) gets 502. See the hosts\' logs above, '
            'then stop with Ctrl-C and run scripts/serve again to bring them back; what they '
            'spooled and logged is read in when they start.' % (', '.join(names), gets))


class _ServeParser(argparse.ArgumentParser):
    """Misuse of scripts/serve is told in one line, with exit status 2."""

    def error(self, message):
        self.exit(2, '%s: error: %s (see %s --help)\n' % (self.prog, message, self.prog))


def _number(low, high=None):
    """An argparse type: a whole number from low to high (or more)."""
    def number(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(
                '%r is not a whole number %s' % (text, 'from %d to %d' % (low, high)
                                                if high is not None else '%d or more' % low))
        return value
    return number


def serve_parser():
    p = _ServeParser(
        prog='scripts/serve',
        description='Runs the whole Quillo service on this machine, in the foreground, until '
        'Ctrl-C: nginx with HTTPS on localhost (a local CA and certificate, made once), the '
        'installer folder at /installers/, and gunicorn with the application behind it. '
        'State (certificates, logs, the installers, the example\'s SQLite database) lives '
        'in service/var/. It prints where everything is, and the scripts/quillo command line '
        'that reaches the database it serves.')
    p.add_argument('--config', metavar='FILE', default=os.path.join(SERVICE, 'example.toml'),
                   help='the service\'s configuration (default service/example.toml); edits '
                   'apply without a restart')
    p.add_argument('--port', metavar='N', type=_number(1, 65535), default=8443,
                   help='nginx\'s HTTPS port on localhost (default 8443)')
    p.add_argument('--installers', metavar='DIR', help='the folder served at /installers/ '
                   '(default service/var/installers)')
    p.add_argument('--database', metavar='URL', help='overrides the configuration\'s '
                   'database: a SQLite file, sqlite:///ABS/PATH or postgresql://...')
    p.add_argument('--workers', metavar='N', type=_number(1), default=2,
                   help='gunicorn worker processes (default 2)')
    p.add_argument('--hosts', metavar='N', type=_number(1),
                   help='run N service hosts (nginx and gunicorn each, on 127.0.0.11, .12, '
                   '..., state in service/var/host1, ...) sharing one PostgreSQL (a temporary '
                   'one unless --database names one) behind a front nginx on --port')
    p.add_argument('--demo-data', action='store_true',
                   help='first fill service/var/demo.db with a month of made-up records and '
                   'serve it, with service/var/demo.toml: the configuration (--config) with '
                   'three staged rollouts and a dashboard login at /admin/, which it prints')
    return p


def serve_arguments(argv):
    """scripts/serve's options, checked; exits with status 2 on misuse."""
    parser = serve_parser()
    args = parser.parse_args(argv)
    if args.demo_data and args.database:
        parser.error('--demo-data serves its own SQLite database, service/var/demo.db; '
                     'leave out --database')
    if args.demo_data and args.hosts is not None:
        parser.error('--hosts needs PostgreSQL and --demo-data makes a SQLite database; '
                     'give one of them')
    if args.hosts is not None and args.database and _is_sqlite(args.database):
        parser.error('--hosts share one PostgreSQL database and SQLite is a file on one '
                     'machine: give --database postgresql://..., or none for a temporary '
                     'PostgreSQL')
    if not os.path.isfile(args.config):
        parser.error('--config %s: no such file' % args.config)
    # --hosts 1 is one host behind a front; without --hosts, a single stack.
    args.hosts_given = args.hosts is not None
    args.hosts = 1 if args.hosts is None else args.hosts
    return args


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ['serve']:
        # A parser of its own, so that its help and its errors name scripts/serve.
        return serve(serve_arguments(argv[1:]))
    parser = argparse.ArgumentParser(description='Runs or configures the Quillo service stack.')
    sub = parser.add_subparsers(dest='command', required=True)
    sub.add_parser('serve', add_help=False,
                   help='the whole service on localhost, in the foreground (scripts/serve; '
                   'see stack.py serve --help)')
    n = sub.add_parser('nginx-conf', help='prints the nginx configuration for a production host')
    n.add_argument('--host', required=True, help='the service host name (SERVICE_HOST)')
    n.add_argument('--cert', required=True, help='certificate chain (PEM)')
    n.add_argument('--cert-key', required=True, help='its private key (PEM)')
    n.add_argument('--installers', required=True, help='the folder served at /installers/')
    n.add_argument('--upstream', default='unix:/run/quillo/gunicorn.sock',
                   help='gunicorn address (unix:PATH or HOST:PORT)')
    n.add_argument('--listen', default='443',
                   help='a port (bound on IPv4 and IPv6) or ADDRESS:PORT')
    n.add_argument('--fallback', default='/var/lib/quillo/fallback',
                   help='the service\'s QUILLO_SERVICE_FALLBACK folder')
    n.add_argument('--front', action='append', default=[], metavar='ADDRESS',
                   help='a balancer in front of this host (address or network; repeat for '
                   'several): its X-Real-IP and X-Request-Id are believed')
    n.add_argument('--site', action='store_true',
                   help='print only the site (its server block and what it needs), for '
                   '/etc/nginx/sites-available/ beside the distribution\'s nginx.conf, '
                   'instead of a whole nginx.conf')
    f = sub.add_parser('front-conf', help='prints the nginx configuration for a balancer '
                       'of several hosts')
    f.add_argument('--host', required=True, help='the service host name (SERVICE_HOST)')
    f.add_argument('--cert', required=True, help='certificate chain (PEM)')
    f.add_argument('--cert-key', required=True, help='its private key (PEM)')
    f.add_argument('--hosts', required=True, help='the hosts\' nginx, ADDRESS:PORT, comma-separated')
    f.add_argument('--ca', required=True, help='the CA bundle the hosts\' certificates chain to')
    f.add_argument('--listen', default='443',
                   help='a port (bound on IPv4 and IPv6) or ADDRESS:PORT')
    f.add_argument('--answer', default='/var/lib/quillo-front', metavar='DIR',
                   help='the folder whose answer.txt the front gives /getinstaller when no '
                   'host can answer, kept by scripts/quillo front-answer (default '
                   '/var/lib/quillo-front)')
    args = parser.parse_args(argv)
    if args.command == 'front-conf':
        sys.stdout.write(nginx_config.front_config(nginx_config.Front(
            name=args.host, cert=args.cert, cert_key=args.cert_key,
            hosts=tuple(h.strip() for h in args.hosts.split(',') if h.strip()), ca=args.ca,
            listen=args.listen, answer=os.path.abspath(args.answer))))
        return 0
    host = nginx_config.Host(name=args.host, cert=args.cert, cert_key=args.cert_key,
                             installers=os.path.abspath(args.installers),
                             fallback=os.path.abspath(args.fallback), upstream=args.upstream,
                             listen=args.listen, fronts=tuple(args.front))
    sys.stdout.write((nginx_config.site_config if args.site else nginx_config.host_config)(host))
    return 0

if __name__ == '__main__':
    sys.exit(main())
