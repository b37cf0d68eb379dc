"""Every nginx configuration of the Quillo service, rendered from one
description: a service host (`Host`: TLS, the installer folder, the proxy to
gunicorn, the fallback answer) or a front balancing several hosts
(`Front`). Each renders for development, where stack.py runs nginx itself
with its files in a folder of the state (`Local`: scripts/serve, scripts/serve
--hosts N, the tests, the demo, the benchmark), or for production with the
system's paths (`stack.py nginx-conf`, `nginx-conf --site` and `front-conf`;
see DEPLOY.md). The two differ only in where nginx keeps its files and who
runs it.

Pure: nothing here reads or writes a file or starts a process. Only the
standard library, since stack.py, which other Pythons import, uses it.
"""
from dataclasses import dataclass
import posixpath
import re

# nginx's temporary folders. A development nginx keeps them in its own
# folder (Local.temp_folders, which stack.py makes); production keeps
# nginx's own.
TEMP_FOLDERS = ('client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi')
SYSTEM_LOGS = '/var/log/nginx'


@dataclass(frozen=True)
class Local:
    """An nginx that stack.py runs in the foreground (daemon off) for
    development and tests, with its pid, error log, access log and
    temporary files in `folder`. as_root: its workers run as root, since
    nobody (nginx's default user when started by root) cannot read a state
    folder under /root. workers: its worker processes."""
    folder: str
    as_root: bool = False
    workers: int = 1

    @property
    def temp_folders(self):
        return [posixpath.join(self.folder, 'tmp', t) for t in TEMP_FOLDERS]


@dataclass(frozen=True)
class Host:
    """A service host's nginx.

    name: the host name served (server_name). cert, cert_key: its
    certificate chain and key (PEM). installers: the folder served at
    /installers/. fallback: the service's fallback folder (its answer.txt;
    nginx's fallback and download logs). upstream: gunicorn, unix:PATH or
    HOST:PORT. listen: a port (bound on IPv4 and IPv6) or ADDRESS:PORT.
    fronts: the balancers (addresses or networks) whose X-Real-IP and
    X-Request-Id this host believes; none for a host that clients reach
    directly. local: a development nginx; None: production. client_rate,
    client_burst: the per-address limit. installer_options: more
    directives for /installers/ (a limit_rate that slows downloads for a
    test); extra_locations: more locations in the server (the benchmark's
    reference answer)."""
    name: str
    cert: str
    cert_key: str
    installers: str
    fallback: str
    upstream: str
    listen: str = '443'
    fronts: tuple = ()
    local: Local = None
    client_rate: str = '50r/s'
    client_burst: int = 200
    installer_options: str = ''
    extra_locations: str = ''

    @property
    def access_log(self):
        """The log of every request the server answered (format `quillo`)."""
        if self.local:
            return posixpath.join(self.local.folder, 'access.log')
        return posixpath.join(SYSTEM_LOGS, 'quillo.access.log')


@dataclass(frozen=True)
class Front:
    """A front's nginx, balancing over `hosts` ('ADDRESS:PORT' each), whose
    certificates must chain to `ca` and be valid for `name`. A host that
    fails max_fails times is left out for fail_timeout. The other fields as
    Host's. answer: the folder whose answer.txt the front gives
    /getinstaller when no host can answer (kept by `scripts/quillo
    front-answer`, quillo_service/front_answer.py)."""
    name: str
    cert: str
    cert_key: str
    hosts: tuple
    ca: str
    listen: str = '443'
    local: Local = None
    max_fails: int = 1
    fail_timeout: str = '5s'
    answer: str = '/var/lib/quillo-front'

    @property
    def log(self):
        """The front's log of every request (format `quillo_front`)."""
        if self.local:
            return posixpath.join(self.local.folder, 'front.log')
        return posixpath.join(SYSTEM_LOGS, 'quillo-front.log')

    @property
    def fallback_log(self):
        """The front's log of the answers it gave itself (format
        `quillo_fallback`, a host's fallback log's), for a host to read in."""
        if self.local:
            return posixpath.join(self.local.folder, 'fallback.log')
        return posixpath.join(SYSTEM_LOGS, 'quillo-front-fallback.log')


def host_config(host):
    """A whole nginx.conf for a host."""
    return (HOST_HEAD + _main(host.local) + 'http {\n'
            + _indent(HOST_HTTP + _temp_paths(host.local)) + '\n'
            + _indent(SITE_INTRO + _site(host)) + '}\n')


def site_config(host):
    """The host's site alone, for Debian's /etc/nginx/sites-available/: it
    goes inside the distribution's own http block, which must include
    mime.types, as Debian's does."""
    return SITE_HEAD + _site(host)


def front_config(front):
    """A whole nginx.conf for a front."""
    return FRONT_HEAD + _main(front.local) + _fill(FRONT_HTTP, {
        'LOGS': _indent(FRONT_LOG + _fill(FALLBACK_LOG, {'REQUEST_ID': '$request_id'})
                        + 'access_log %s quillo_front;\n' % front.log
                        + _temp_paths(front.local)),
        'FRONT_LOG': front.log, 'FALLBACK_LOG': front.fallback_log,
        'ANSWER_FILE': _answer_file(front.answer, 12),
        'HOSTS': ''.join('        server %s max_fails=%d fail_timeout=%s;\n'
                         % (h, front.max_fails, front.fail_timeout) for h in front.hosts),
        'LISTEN': _indent(_listen(front.listen)), 'SERVER_NAME': front.name,
        'TLS': _tls(front.cert, front.cert_key, 'quillo_front_tls', 8), 'CA': front.ca,
        'PROXY': _indent(PROXY, 8)})


def _site(host):
    return _fill(SITE, {
        'FRONTS': ''.join('    %s 1;\n' % f for f in host.fronts),
        'REAL_IP': ''.join('    set_real_ip_from %s;\n' % f for f in host.fronts)
        + ('    real_ip_header X-Real-IP;\n' if host.fronts else ''),
        'CLIENT_RATE': host.client_rate, 'CLIENT_BURST': str(host.client_burst),
        'UPSTREAM': host.upstream, 'LISTEN': _listen(host.listen),
        'SERVER_NAME': host.name, 'ACCESS_LOG': host.access_log,
        'TLS': _tls(host.cert, host.cert_key, 'quillo_tls', 4), 'PROXY': _indent(PROXY, 8),
        'INSTALLERS': host.installers.rstrip('/'), 'FALLBACK': host.fallback.rstrip('/'),
        'FALLBACK_LOG_FORMAT': _fill(FALLBACK_LOG, {'REQUEST_ID': '$quillo_request_id'}),
        'ANSWER_FILE': _answer_file(host.fallback, 8),
        'INSTALLER_OPTIONS': _indent(host.installer_options, 8),
        'EXTRA_LOCATIONS': _indent(host.extra_locations)})


def _main(local):
    """The main context: who runs nginx, where its pid and error log are,
    its workers."""
    if local is None:
        lines = ['user www-data;', 'pid /run/nginx.pid;', 'error_log %s/error.log;' % SYSTEM_LOGS,
                 'worker_processes auto;']
    else:
        lines = (['user root;'] if local.as_root else []) + [
            'daemon off;', 'pid %s/nginx.pid;' % local.folder,
            'error_log %s/error.log warn;' % local.folder, 'worker_processes %d;' % local.workers]
    return '\n'.join(lines) + '\n\nevents {\n    worker_connections 4096;\n}\n\n'


def _temp_paths(local):
    if local is None:
        return ''
    return ''.join('%s_temp_path %s;\n' % (t, path)
                   for t, path in zip(TEMP_FOLDERS, local.temp_folders))


def _listen(listen):
    """The listen directives, indented for a server block."""
    targets = [listen, '[::]:' + listen] if listen.isdigit() else [listen]
    return ''.join('    listen %s ssl;\n' % t for t in targets)


def _indent(text, by=4):
    """text's lines moved right by `by` spaces (blank ones left blank),
    each ending with a newline; '' for nothing but blanks."""
    if not text.strip():
        return ''
    return ''.join((' ' * by + line if line.strip() else '') + '\n'
                   for line in text.strip('\n').split('\n'))


# The TLS of a host's and of a front's server, the same for both.
TLS = """\
ssl_certificate @CERT@;
ssl_certificate_key @CERT_KEY@;
ssl_protocols TLSv1.2 TLSv1.3;
ssl_prefer_server_ciphers off;
ssl_session_cache shared:@CACHE@:10m;
ssl_session_timeout 1h;
# Ticket keys would live as long as nginx runs (nginx never rotates
# them by itself) and break forward secrecy; the session cache above
# resumes sessions without them.
ssl_session_tickets off;
"""


# How a host passes a request to its gunicorn and a front to a host: a kept
# connection, and the client's address and scheme (the service trusts them
# only from its configured proxies).
PROXY = """\
proxy_http_version 1.1;
proxy_set_header Connection "";
proxy_set_header Host $host;
proxy_set_header X-Real-IP $remote_addr;
proxy_set_header X-Forwarded-For $remote_addr;
proxy_set_header X-Forwarded-Proto $scheme;
"""


def _tls(cert, cert_key, cache, by):
    return _indent(_fill(TLS, {'CERT': cert, 'CERT_KEY': cert_key, 'CACHE': cache}), by)


# How nginx gives the fallback answer, a host's for its gunicorn and the
# front's for every host: the file answer.txt of `folder`, exactly the
# instruction, with the headers the service gives one (text/plain,
# no-store, no ranges or validators). The location names the file
# (try_files /answer.txt) and its log.
ANSWER_FILE = """\
root @FOLDER@;
types { }
default_type text/plain;
etag off;
max_ranges 0;
if_modified_since off;
add_header Cache-Control no-store always;
add_header Strict-Transport-Security "max-age=31536000" always;
"""

# The log of the fallback answers, a host's and the front's.
FALLBACK_LOG = """\
# The log of instructions nginx gave by itself, read by the service into
# its records (ingest/fallback.py): time, client address, the request's
# id (passed to the service too), the last status an upstream gave if one
# was asked ("-" if not), request line. One word each: a front that tried
# three hosts has three statuses, of which the last counts. Unbuffered:
# each line is one write, so a reader never sees half a line but at the
# very end.
map $upstream_status $quillo_upstream_status {
    "~([0-9]{3})$" $1;
    default -;
}
log_format quillo_fallback '$msec $remote_addr @REQUEST_ID@ $quillo_upstream_status $request';
"""


def _answer_file(folder, by):
    return _indent(_fill(ANSWER_FILE, {'FOLDER': folder.rstrip('/')}), by)


def _fill(template, values):
    """template with each @NAME@ replaced by values[NAME]. A field alone on
    its line stands for whole lines: its value ends with a newline, or is
    empty and leaves no line behind."""
    def field(match):
        return values[match.group(1)]
    return re.sub(r'@([A-Z_]+)@', field, re.sub(r'^@([A-Z_]+)@\n', field, template, flags=re.M))


HOST_HEAD = """\
# nginx in front of the Quillo service.
#
#  - terminates TLS;
#  - serves the installer folder at /installers/ as plain static files, which
#    nginx answers with byte ranges (the launcher resumes broken downloads);
#  - passes every other path to the service's gunicorn, telling it the
#    client's address in X-Real-IP (set here, so whatever a client sends in
#    that header is overwritten);
#  - answers /getinstaller itself whenever the service cannot (down, too
#    slow, failing, or the client over its limit), with the answer the service
#    left in the fallback folder, and logs each such answer there for the
#    service to record (see service/quillo_service/ingest/fallback.py).
#
# Rendered by service/nginx_config.py: `scripts/serve` and the tests run it
# locally, and `/usr/bin/python3 service/stack.py nginx-conf ...` prints it
# for a production host (see service/DEPLOY.md).

"""

HOST_HTTP = """\
include /etc/nginx/mime.types;
default_type application/octet-stream;

sendfile on;
tcp_nopush on;
tcp_nodelay on;
"""

SITE_INTRO = """\
# ---- The Quillo site: from here to the end of http is what
# `stack.py nginx-conf --site` prints, a file for Debian's
# /etc/nginx/sites-available/ that goes inside the distribution's own
# http block. Its settings are the server's own, so that they leave the
# host's other sites as they are.

"""

SITE_HEAD = """\
# The Quillo service's nginx site (stack.py nginx-conf --site), for
# /etc/nginx/sites-available/quillo, linked from sites-enabled/.
"""

# A host's http-level needs and its server, at the http block's level.
SITE = """\
# The request's id, passed to the service and written into the fallback
# log: a trusted front's (X-Request-Id), so that a request the front
# retries on another host keeps its id and is recorded once; else this
# nginx's own. A client cannot choose its id: the header counts only
# from a front, and only in nginx's own form (32 lower-case hex digits).
geo $realip_remote_addr $quillo_from_front {
    default 0;
@FRONTS@
}
map "$quillo_from_front:$http_x_request_id" $quillo_request_id {
    "~^1:[0-9a-f]{32}$" $http_x_request_id;
    default $request_id;
}

# Per client address, on top of the service's own limit on recorded
# events: a flood from one address is cut off here with 429 before it
# costs the service anything. Generous, since many launchers may share
# one address behind a NAT.
limit_req_zone $binary_remote_addr zone=quillo_clients:10m rate=@CLIENT_RATE@;

# Every request the server answered, read by tools and tests (stack.py's
# access_log_entries): client, request line, status, body bytes sent,
# seconds, the Range asked, gunicorn's status ("-" if nginx answered alone).
log_format quillo '$remote_addr|$request|$status|$body_bytes_sent|$request_time|$http_range|$upstream_status';
@FALLBACK_LOG_FORMAT@# The log of installer downloads, read by the service for the download
# funnel and the bandwidth (see service/quillo_service/downloads.py):
# when the request ended, client, status, body bytes sent, seconds, whether
# nginx sent all it meant to, the Range asked, the Content-Range and
# Content-Length answered (the first byte sent and the whole size), path.
log_format quillo_downloads '$msec $remote_addr $status $body_bytes_sent $request_time '
                            '$request_completion "$http_range" '
                            '"$sent_http_content_range" "$sent_http_content_length" $uri';
# A request that nginx refuses before it reaches a location (a request
# line too long to read whole, a header too large) is still an
# instruction request when it starts like one.
map $request $quillo_refused_ask {
    "~^(GET|HEAD) /getinstaller[?]" 1;
    default 0;
}

upstream quillo_service {
    server @UPSTREAM@ max_fails=0;
    # Idle connections kept open to gunicorn, so that a request does not
    # pay for a new connection.
    keepalive 64;
    # Shorter than gunicorn's own keep-alive, so that nginx never sends a
    # request on a connection that gunicorn is just closing.
    keepalive_timeout 4s;
}

server {
@LISTEN@
    server_name @SERVER_NAME@;

    server_tokens off;
    # Nothing here takes a request body: the service answers GET only.
    client_max_body_size 1k;
    client_body_buffer_size 1k;
    # Room for the longest error page query the launcher sends (a message
    # and a key of up to 1023 bytes, each percent-encoded), matching
    # gunicorn's --limit-request-line 8190; longer request lines get 414 here.
    client_header_buffer_size 4k;
    large_client_header_buffers 4 8k;

    client_header_timeout 15s;
    client_body_timeout 15s;
    send_timeout 60s;
    keepalive_timeout 30s;
    keepalive_requests 1000;
    reset_timedout_connection on;
    limit_req_status 429;
    access_log @ACCESS_LOG@ quillo;

    # Behind a front (a balancer, nginx_config.front_config) the peer is
    # the front: the client's address is taken from its X-Real-IP, but only
    # when the connection comes from a front named here, so that the limit
    # and every log count the client, never the front. Empty for a host
    # that clients reach directly.
@REAL_IP@

@TLS@

    # /admin/ takes Basic credentials: browsers must never try plain HTTP.
    # (A location with add_header of its own repeats this line: nginx
    # inherits add_header only into locations that have none.)
    add_header Strict-Transport-Security "max-age=31536000" always;

    # nginx refuses some requests before it chooses a location, with the
    # server's settings: a request line too long (414), a header too
    # large (494, sent as 400) or a request it cannot take, such as one
    # with two Host headers (400). Only the server can catch those; see
    # /-quillo-refused/ below. (A body over client_max_body_size, 413,
    # is found once the location is chosen: /getinstaller catches it
    # there, as it does gunicorn's 400.)
    error_page 400 494 = /-quillo-refused/400;
    error_page 414 = /-quillo-refused/414;

    # The installers. Plain files: Range, If-Range and HEAD come for
    # free. One range per request is all the launcher asks for; refusing
    # multi-range requests keeps them from being an amplifier.
    location /installers/ {
        alias @INSTALLERS@/;
        limit_except GET { deny all; }
        max_ranges 1;
        autoindex off;
        types { }
        default_type application/octet-stream;
        add_header X-Content-Type-Options nosniff always;
        add_header Strict-Transport-Security "max-age=31536000" always;
        # Each download, for the service to record; an access_log here
        # replaces the server's, so that one is named again.
        access_log @FALLBACK@/downloads.log quillo_downloads;
        access_log @ACCESS_LOG@ quillo;
@INSTALLER_OPTIONS@
    }

@EXTRA_LOCATIONS@

    # The console's forms (halt, resume or advance a rollout; acknowledge
    # a halt's banner): the only addresses that take a POST, with a small
    # body. The service checks the credentials and the form's token.
    location ~ ^/admin/(rollouts/act|banners/ack)$ {
        limit_except POST { deny all; }
        limit_req zone=quillo_clients burst=@CLIENT_BURST@ nodelay;
        client_max_body_size 4k;
        client_body_buffer_size 4k;
        proxy_pass http://quillo_service;
@PROXY@
        proxy_connect_timeout 5s;
        proxy_read_timeout 15s;
        proxy_hide_header X-Powered-By;
    }

    # Everything else is the service: /getinstaller, /error/, notices.
    location / {
        limit_except GET { deny all; }
        limit_req zone=quillo_clients burst=@CLIENT_BURST@ nodelay;
        proxy_pass http://quillo_service;
@PROXY@
        # Lets the service match nginx's fallback log to what it recorded.
        proxy_set_header X-Request-Id $quillo_request_id;
        proxy_pass_request_body off;
        proxy_set_header Content-Length "";
        proxy_connect_timeout 5s;
        proxy_send_timeout 15s;
        proxy_read_timeout 15s;
        # Every request that reached the service is recorded there; one
        # whose client hung up is still finished, and never sent twice.
        proxy_ignore_client_abort on;
        proxy_next_upstream off;
        proxy_hide_header X-Powered-By;

        # The launcher gives up on anything but an instruction, so here
        # every answer the service cannot give becomes the fallback
        # answer, with status 200: the per-address limit (429), gunicorn
        # down or restarting (502), too slow (504), or failing (500, 503),
        # a body over the limit (413), and gunicorn's own refusal (400,
        # e.g. of more than its 100 headers), an HTML page.
        location = /getinstaller {
            limit_except GET { deny all; }
            proxy_pass http://quillo_service;
            proxy_intercept_errors on;
            error_page 400 413 429 500 502 503 504 = @quillo_fallback;
        }
    }

    # The fallback answer: the file the service keeps up to date, logged
    # for the records.
    location @quillo_fallback {
        access_log @FALLBACK@/fallback.log quillo_fallback;
@ANSWER_FILE@
        try_files /answer.txt =503;
    }

    # A refused instruction request gets the fallback answer too (the
    # query as nginx read it, cut if it was too long); any other request
    # keeps its refusal, nginx's own page.
    location /-quillo-refused/ {
        internal;
        access_log @FALLBACK@/fallback.log quillo_fallback if=$quillo_refused_ask;
        # and, like the installers' location, the server's log named again
        access_log @ACCESS_LOG@ quillo;
@ANSWER_FILE@
        location = /-quillo-refused/400 {
            internal;
            if ($quillo_refused_ask = 0) {
                return 400;
            }
            try_files /answer.txt =503;
        }
        location = /-quillo-refused/414 {
            internal;
            if ($quillo_refused_ask = 0) {
                return 414;
            }
            try_files /answer.txt =503;
        }
    }
}
"""

FRONT_HEAD = """\
# nginx as the front of several Quillo service hosts (a load balancer).
#
# Each host is a whole service host (its own nginx, gunicorn, state folder
# and logs); they share one PostgreSQL database. The front terminates the
# clients' TLS and passes each request to a host, and to the next host when
# that one cannot be reached or answers 502, 503 or 504. It sets, for the
# host's nginx to believe (set_real_ip_from there):
#  - X-Real-IP and X-Forwarded-For: the client's address, overwriting
#    whatever the client sent, so that each host logs and limits the client;
#  - X-Request-Id: the front's id of the request (/getinstaller, /error/ and
#    every other path), so that a request retried on another host keeps its
#    id and the service records it once. The client gets the same id back in
#    the X-Request-Id response header.
#
# Open-source nginx checks its upstreams passively only: a host that fails
# `max_fails` times (a refused or timed-out connection, a 502/503/504) is left
# out for `fail_timeout`, then tried again with real traffic; nothing probes
# it meanwhile. See service/DEPLOY.md for what a real balancer adds.
#
# Rendered by service/nginx_config.py: `scripts/serve --hosts N` and the
# tests run it locally, and `/usr/bin/python3 service/stack.py front-conf
# ...` prints it for a balancer.

"""

# The front's log: client, the request's id, request line, status, the hosts
# tried and what each answered, seconds.
FRONT_LOG = ("log_format quillo_front '$remote_addr|$request_id|$request|$status|"
             "$upstream_addr|$upstream_status|$request_time';\n")

FRONT_HTTP = """\
http {
    server_tokens off;
    tcp_nodelay on;

    # As on the hosts: no request bodies but the console's small forms.
    client_max_body_size 4k;
    client_body_buffer_size 4k;
    # Larger than the hosts' (8k): an over-long instruction request then
    # reaches a host, which gives it the fallback answer instead of refusing.
    client_header_buffer_size 4k;
    large_client_header_buffers 4 16k;

    client_header_timeout 15s;
    client_body_timeout 15s;
    send_timeout 60s;
    keepalive_timeout 30s;
    keepalive_requests 1000;
    reset_timedout_connection on;

@LOGS@

    upstream quillo_hosts {
@HOSTS@
        # Idle TLS connections kept open to the hosts.
        keepalive 32;
        # Shorter than the hosts' keepalive_timeout (30 s), so that the front
        # never sends a request on a connection a host is just closing.
        keepalive_timeout 10s;
    }

    server {
@LISTEN@
        server_name @SERVER_NAME@;

@TLS@

        # Every location below inherits these (none has add_header of its own).
        add_header Strict-Transport-Security "max-age=31536000" always;
        add_header X-Request-Id $request_id always;
        # The hosts send it too; the client gets the front's once.
        proxy_hide_header Strict-Transport-Security;

@PROXY@
        proxy_set_header X-Request-Id $request_id;
        # Each host's certificate must chain to the CA and be valid for the
        # service's name.
        proxy_ssl_verify on;
        proxy_ssl_trusted_certificate @CA@;
        proxy_ssl_name @SERVER_NAME@;
        proxy_ssl_server_name on;
        proxy_ssl_session_reuse on;
        proxy_connect_timeout 2s;
        # Longer than a host's own wait for its gunicorn (15 s), so that a
        # slow host gives its fallback answer before the front gives up on it.
        proxy_read_timeout 20s;
        proxy_send_timeout 15s;
        # The next host on a refused or broken connection and on a host's
        # 502/503/504 (a host answers /getinstaller itself whenever its
        # gunicorn cannot, so those come only from other paths or a host's
        # nginx in trouble). Bounded: at most three hosts, and no new try
        # once 10 s have passed. A request that a host recorded before the
        # connection broke keeps its id on the next host.
        proxy_next_upstream error timeout http_502 http_503 http_504;
        proxy_next_upstream_tries 3;
        proxy_next_upstream_timeout 10s;

        # Installer downloads stream through unbuffered: the host's nginx
        # then sends no faster than the client takes, and its download log
        # counts the bytes the client got, not what the front buffered.
        # Range and If-Range pass through as the client sent them.
        location /installers/ {
            proxy_pass https://quillo_hosts;
            proxy_buffering off;
            proxy_read_timeout 60s;
        }

        # /getinstaller never gets an error page, which the launcher cannot
        # use: when no host could answer (each refused, timed out or failed:
        # the front's own 502 or 504, or a host's 5xx on the last try), the
        # front gives the fallback answer itself, with status 200, from the
        # file `scripts/quillo front-answer` keeps (the default answer, or
        # the maintenance answer), and logs it as a host logs its own, for
        # a host to read into the records.
        location = /getinstaller {
            proxy_pass https://quillo_hosts;
            proxy_intercept_errors on;
            error_page 500 502 503 504 = @quillo_front_answer;
        }

        location @quillo_front_answer {
            access_log @FALLBACK_LOG@ quillo_fallback;
            # the front's log named again: an access_log here replaces it
            access_log @FRONT_LOG@ quillo_front;
@ANSWER_FILE@
            add_header X-Request-Id $request_id always;
            try_files /answer.txt =503;
        }

        # Everything else, /healthz and /readyz too: a host's answer, or the
        # front's 502 when no host answers.
        location / {
            proxy_pass https://quillo_hosts;
        }
    }
}
"""
