"""A real web server nobody here wrote: Debian's nginx, serving one folder
on a loopback port, with an access log that records each request's bytes and
time."""
import os
import shutil
import socket
import subprocess
import tempfile
import time

CONFIG = """
daemon off;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
{user}
events {{ worker_connections 64; }}
http {{
    log_format timing '$request|$status|$body_bytes_sent|$request_time|$http_range';
    access_log {prefix}/access.log timing;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Nginx:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.port = free_port()
        self.prefix = tempfile.mkdtemp(prefix='nginx-')
        self.proc = None

    def start(self):
        config = os.path.join(self.prefix, 'nginx.conf')
        user = 'user root;' if os.geteuid() == 0 else ''
        with open(config, 'w') as f:
            f.write(CONFIG.format(prefix=self.prefix, port=self.port, root=self.root, user=user))
        self.proc = subprocess.Popen(['nginx', '-c', config, '-p', self.prefix],
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                socket.create_connection(('127.0.0.1', self.port), 0.2).close()
                return self
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError('nginx did not start')
                time.sleep(0.05)

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait(10)
            self.proc = None
        shutil.rmtree(self.prefix, True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def url(self, name):
        return 'http://127.0.0.1:%d/%s' % (self.port, name)

    def requests(self):
        """Logged requests as (request line, status, body bytes, seconds, range)."""
        path = os.path.join(self.prefix, 'access.log')
        if not os.path.exists(path):
            return []
        out = []
        with open(path) as f:
            for line in f:
                request, status, sent, seconds, rng = line.rstrip('\n').split('|')
                out.append((request, int(status), int(sent), float(seconds), rng))
        return out
