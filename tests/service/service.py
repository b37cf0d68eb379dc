#!/usr/bin/env python3
"""Local test service: files with byte ranges, scripted faults, canned answers.

One process serves the same content on an HTTP and an HTTPS port of 127.0.0.1.

    service.py --root DIR --cert server.crt --key server.key \
               [--http-port 0] [--https-port 0] [--ready FILE] [--verbose]

Port 0 picks a free port. Once both ports listen, FILE receives
{"http": P, "https": Q} (written atomically) and the same line goes to stdout.

Resources
    /files/NAME      the file DIR/NAME; honours "Range: bytes=a-b", "bytes=a-"
                     and "bytes=-n" (206 + Content-Range), else 200.
    /getinstaller    canned answer, by default 200 "GOTO:https://localhost/none".
    any other path   its canned answer if one is set, else 404 with a body.

Control API (JSON in and out, on either port; control requests are not logged)
    POST /_control/faults    {"path": P, "faults": [F, ...], "append": false}
    GET  /_control/faults    {path: [pending faults]}
    POST /_control/response  {"path": P, "status": 200, "body": "text" | "body_b64": "...",
                              "headers": {"Name": "value"}}   or {"path": P, "clear": true}
    GET  /_control/log[?wait=SECONDS]
                             {"requests": [entry, ...], "bytes": {path: body bytes sent}}
                             wait: first wait until no request is in progress.
    POST /_control/reset_log clears the log and the byte counts
    POST /_control/reset     also clears faults and canned answers
    GET  /_control/ports     {"http": P, "https": Q}

Each request to a path takes the next entry of that path's fault queue (the
path without its query); an empty queue means normal behaviour. An entry is one
fault object or a list of them, applied together. A fault object may carry
"repeat": N to be queued N times. Fault types:
    {"type": "drop", "after": N}        send headers and N body bytes, then close the
                                        socket ("rst": true resets it instead)
    {"type": "close"}                   close the connection without any answer
    {"type": "close_after"}             "Connection: close", closed after the answer
    {"type": "delay", "ms": T}          wait T ms before answering
    {"type": "ignore_range"}            answer 200 with the whole file
    {"type": "content_range", "which": W}
        W = "star"      bytes a-b/*
            "first"     first byte + 1
            "last"      last byte - 1
            "inverted"  bytes (b+1)-b/total
            "total"     total = last byte (last not below the total)
    {"type": "content_range", "value": "bytes 1-2/3"}   any text
    {"type": "content_length", "delta": 10} | {"type": "content_length", "value": "abc"}
                                        Content-Length text changed, real body sent,
                                        then the connection is closed
    {"type": "no_content_length"}       no Content-Length; the body ends with the close
    {"type": "long_header", "header": "content-length" | "content-range",
     "pad": 300, "style": "zeros" | "spaces"}
                                        value padded by leading zeros (or trailing spaces);
                                        the connection is closed after the body
    {"type": "trickle", "bytes": N, "ms": T}   N body bytes every T ms
    {"type": "status", "status": S [, "body": "text" | "body_b64": "..."]}
                                        status override, optionally with another body
    {"type": "respond", "status": S, "body": ..., "headers": {...}}
                                        one-off canned answer
    {"type": "headers", "set": {"Name": "value"}, "remove": ["Name"]}

Log entry: id, scheme, method, path, query, range, user_agent, headers, status,
faults, body_sent, done, started and finished (seconds since the epoch).

Under Wine: WinInet strips trailing blanks from header values, so only the
"zeros" style makes a header too long there; "rst" may discard bytes still in
the send buffer; WinInet accepts the certificate for "localhost", not for
"127.0.0.1" (error 12038), so HTTPS URLs name localhost.
"""

import argparse
import base64
import json
import os
import re
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

CHUNK = 65536
FAULT_TYPES = {"drop", "close", "close_after", "delay", "ignore_range", "content_range", "content_length",
               "no_content_length", "long_header", "trickle", "status", "respond", "headers"}
DEFAULT_RESPONSES = {"/getinstaller": (200, b"GOTO:https://localhost/none", {})}


def body_from(answer, default=b""):
    if "body_b64" in answer:
        return base64.b64decode(answer["body_b64"])
    if "body" in answer:
        return answer["body"].encode("utf-8")
    return default


class State:
    """What all connections share: fault queues, canned answers, the log."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.Condition()
        self.ports = {}
        self.reset()

    def reset(self):
        with self.lock:
            self.faults = {}
            self.responses = dict(DEFAULT_RESPONSES)
            self.reset_log()

    def reset_log(self):
        with self.lock:
            self.log = []
            self.bytes = {}

    def next_faults(self, path):
        with self.lock:
            queue = self.faults.get(path)
            entry = queue.pop(0) if queue else []
            return entry if isinstance(entry, list) else [entry]

    def set_faults(self, path, faults, append):
        queue = []
        for entry in faults:
            repeat = max(entry.get("repeat", 1), 0) if isinstance(entry, dict) else 1
            queue.extend([entry] * repeat)
        with self.lock:
            if append:
                queue = self.faults.get(path, []) + queue
            self.faults[path] = queue
            return len(queue)

    def add_entry(self, entry):
        with self.lock:
            entry["id"] = len(self.log)
            self.log.append(entry)

    def count_sent(self, entry, n):
        with self.lock:
            entry["body_sent"] += n
            self.bytes[entry["path"]] = self.bytes.get(entry["path"], 0) + n

    def finish_entry(self, entry):
        with self.lock:
            entry["done"] = True
            entry["finished"] = time.time()
            self.lock.notify_all()

    def snapshot(self, wait):
        with self.lock:
            self.lock.wait_for(lambda: all(e["done"] for e in self.log), timeout=wait)
            return {"requests": [dict(e) for e in self.log], "bytes": dict(self.bytes)}


@dataclass
class Plan:
    """One response, before it is sent."""

    status: int
    body: bytes = b""
    file: str = None  # when set, the body is file[offset:offset + length]
    offset: int = 0
    length: int = 0
    content_range: object = None  # (first, last, total) or the header text
    content_length: object = "auto"  # "auto", None (omitted) or the header text
    headers: dict = field(default_factory=dict)
    close: bool = False
    drop_after: int = None
    rst: bool = False
    trickle: tuple = None
    delay_ms: int = 0
    no_answer: bool = False

    def set_body(self, data):
        self.body, self.file, self.offset, self.length = data, None, 0, len(data)


def parse_range(header, total):
    """(first, last) of a single "bytes=" range; None to ignore; "bad" if unsatisfiable."""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header or "")
    if not m or m.group(1) == m.group(2) == "":
        return None
    if m.group(1) == "":
        n = int(m.group(2))
        return (max(total - n, 0), total - 1) if n and total else "bad"
    first = int(m.group(1))
    last = int(m.group(2)) if m.group(2) else total - 1
    if m.group(2) and last < first:
        return None
    if first >= total:
        return "bad"
    return first, min(last, total - 1)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestService/1.0"
    timeout = 120

    @property
    def state(self):
        return self.server.state

    def log_message(self, fmt, *args):
        if self.server.verbose:
            super().log_message(fmt, *args)

    def do_GET(self):
        self.handle_request()

    def do_HEAD(self):
        self.handle_request()

    def do_POST(self):
        self.handle_request()

    # -- control API -------------------------------------------------------

    def reply_json(self, obj, status=200):
        data = json.dumps(obj).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def control(self, path, query):
        length = int(self.headers.get("Content-Length") or 0)
        try:
            args = json.loads(self.rfile.read(length) or b"{}")
        except ValueError:
            return self.reply_json({"error": "bad JSON"}, 400)
        st = self.state
        try:
            if path == "/_control/faults" and self.command == "POST":
                for entry in args["faults"]:
                    for fault in entry if isinstance(entry, list) else [entry]:
                        if fault.get("type") not in FAULT_TYPES:
                            raise ValueError("unknown fault type %r" % fault.get("type"))
            elif path == "/_control/response" and not args.get("clear"):
                body_from(args)
        except (KeyError, ValueError, TypeError, AttributeError) as e:
            return self.reply_json({"error": "bad request: %r" % e}, 400)
        if path == "/_control/faults" and self.command == "POST":
            n = st.set_faults(args["path"], args.get("faults", []), args.get("append", False))
            return self.reply_json({"queued": n})
        if path == "/_control/faults":
            with st.lock:
                return self.reply_json({p: q for p, q in st.faults.items() if q})
        if path == "/_control/response":
            with st.lock:
                if args.get("clear"):
                    st.responses.pop(args["path"], None)
                else:
                    st.responses[args["path"]] = (
                        args.get("status", 200), body_from(args), args.get("headers", {}))
            return self.reply_json({"ok": True})
        if path == "/_control/log":
            wait = float(query.get("wait", ["0"])[0])
            return self.reply_json(st.snapshot(wait))
        if path == "/_control/reset_log":
            st.reset_log()
            return self.reply_json({"ok": True})
        if path == "/_control/reset":
            st.reset()
            return self.reply_json({"ok": True})
        if path == "/_control/ports":
            return self.reply_json(st.ports)
        return self.reply_json({"error": "unknown control " + path}, 404)

    # -- resources ---------------------------------------------------------

    def handle_request(self):
        url = urlsplit(self.path)
        path = unquote(url.path)
        if path.startswith("/_control/"):
            return self.control(path, parse_qs(url.query))
        faults = self.state.next_faults(path)
        entry = {
            "scheme": self.server.scheme,
            "method": self.command,
            "path": path,
            "query": url.query,
            "range": self.headers.get("Range"),
            "user_agent": self.headers.get("User-Agent"),
            "headers": dict(self.headers.items()),
            "faults": faults,
            "status": None,
            "body_sent": 0,
            "done": False,
            "started": time.time(),
        }
        self.state.add_entry(entry)
        try:
            if self.command == "POST":  # not part of the service; drain and answer
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
            plan = self.make_plan(path, faults)
            for fault in faults:
                self.apply_fault(plan, fault)
            entry["status"] = plan.status
            self.send_plan(plan, entry)
        except (OSError, ssl.SSLError):
            self.close_connection = True
        except Exception as e:
            self.close_connection = True
            entry["error"] = repr(e)
            raise
        finally:
            self.state.finish_entry(entry)

    def make_plan(self, path, faults):
        for fault in faults:
            if fault.get("type") == "respond":
                return Plan(fault.get("status", 200), body_from(fault), headers=dict(fault.get("headers", {})),
                            length=len(body_from(fault)))
        with self.state.lock:
            canned = self.state.responses.get(path)
        if canned:
            status, body, headers = canned
            return Plan(status, body, length=len(body), headers=dict(headers))
        name = path[len("/files/"):] if path.startswith("/files/") else None
        file = os.path.normpath(os.path.join(self.state.root, name)) if name else None
        if not file or not file.startswith(self.state.root + os.sep) or not os.path.isfile(file):
            body = ("Not found: %s\n" % path).encode()
            return Plan(404, body, length=len(body), headers={"Content-Type": "text/plain"})
        total = os.path.getsize(file)
        plan = Plan(200, file=file, length=total,
                    headers={"Content-Type": "application/octet-stream", "Accept-Ranges": "bytes"})
        if any(f.get("type") == "ignore_range" for f in faults):
            return plan
        rng = parse_range(self.headers.get("Range"), total)
        if rng == "bad":
            plan.status, plan.content_range = 416, "bytes */%d" % total
            plan.set_body(b"")
        elif rng:
            plan.status, plan.offset, plan.length = 206, rng[0], rng[1] - rng[0] + 1
            plan.content_range = (rng[0], rng[1], total)
        return plan

    def apply_fault(self, plan, fault):
        kind = fault.get("type")
        if kind == "drop":
            plan.drop_after, plan.rst = int(fault.get("after", 0)), bool(fault.get("rst"))
        elif kind == "close":
            plan.no_answer = True
        elif kind == "delay":
            plan.delay_ms = int(fault.get("ms", 0))
        elif kind == "content_range":
            if "value" in fault:
                plan.content_range = fault["value"]
                return
            cr = plan.content_range
            first, last, total = cr if isinstance(cr, tuple) else (0, plan.length - 1, plan.length)
            plan.content_range = {
                "star": "bytes %d-%d/*" % (first, last),
                "first": (first + 1, last, total),
                "last": (first, last - 1, total),
                "inverted": (last + 1, last, total),
                "total": (first, last, last),
            }[fault["which"]]
        elif kind == "content_length":
            plan.content_length = str(fault["value"]) if "value" in fault else str(plan.length + fault["delta"])
            plan.close = True
        elif kind == "no_content_length":
            plan.content_length, plan.close = None, True
        elif kind == "close_after":
            plan.close = True
        elif kind == "long_header":
            plan.close = True
            pad, spaces = int(fault.get("pad", 300)), fault.get("style") == "spaces"
            if fault.get("header", "content-length").lower() == "content-range":
                cr = plan.content_range
                text = cr if isinstance(cr, str) else "%d-%d/%d" % (cr or (0, plan.length - 1, plan.length))
                text = text[len("bytes "):] if text.startswith("bytes ") else text
                plan.content_range = "bytes " + (text + " " * pad if spaces else "0" * pad + text)
            else:
                text = str(plan.length)
                plan.content_length = text + " " * pad if spaces else "0" * pad + text
        elif kind == "trickle":
            plan.trickle = (max(int(fault.get("bytes", 1)), 1), int(fault.get("ms", 100)))
        elif kind == "status":
            plan.status = int(fault["status"])
            if "body" in fault or "body_b64" in fault:
                plan.set_body(body_from(fault))
        elif kind == "headers":
            for name in fault.get("remove", []):
                for key in [k for k in plan.headers if k.lower() == name.lower()]:
                    del plan.headers[key]
            plan.headers.update(fault.get("set", {}))
        elif kind in ("respond", "ignore_range"):
            pass  # taken into account by make_plan

    # -- sending -------------------------------------------------------------

    def send_plan(self, plan, entry):
        if plan.delay_ms:
            time.sleep(plan.delay_ms / 1000)
        if plan.no_answer:
            self.close_connection = True
            return self.kill_socket(False)
        self.send_response(plan.status)
        for name, value in plan.headers.items():
            self.send_header(name, value)
        if plan.content_range is not None:
            cr = plan.content_range
            self.send_header("Content-Range", cr if isinstance(cr, str) else "bytes %d-%d/%d" % cr)
        if plan.content_length == "auto":
            self.send_header("Content-Length", str(plan.length))
        elif plan.content_length is not None:
            self.send_header("Content-Length", plan.content_length)
        if plan.close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command == "HEAD":
            return
        limit = plan.length if plan.drop_after is None else min(plan.drop_after, plan.length)
        step, pause = plan.trickle or (CHUNK, 0)
        for chunk in self.body_chunks(plan, limit, step):
            self.wfile.write(chunk)
            self.state.count_sent(entry, len(chunk))
            if pause:
                time.sleep(pause / 1000)
        if plan.drop_after is not None:
            self.close_connection = True
            self.kill_socket(plan.rst)

    def body_chunks(self, plan, limit, step):
        if plan.file is None:
            for pos in range(0, limit, step):
                yield plan.body[pos:min(pos + step, limit)]
            return
        with open(plan.file, "rb") as f:
            f.seek(plan.offset)
            while limit > 0:
                data = f.read(min(step, limit))
                if not data:
                    raise OSError("file shrank while it was sent")
                limit -= len(data)
                yield data

    def kill_socket(self, rst):
        """Ends the TCP connection at once (no TLS close_notify)."""
        sock = self.connection
        try:
            if rst:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, state, tls, verbose):
        self.state, self.tls, self.verbose = state, tls, verbose
        self.scheme = "https" if tls else "http"
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread.
        if self.tls:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (OSError, ssl.SSLError):
                return
        try:
            self.RequestHandlerClass(request, client_address, self)
        finally:
            if self.tls:
                request.close()

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--root", required=True)
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--http-port", type=int, default=0)
    ap.add_argument("--https-port", type=int, default=0)
    ap.add_argument("--ready")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(args.cert, args.key)

    state = State(args.root)
    servers = [Server(args.http_port, state, None, args.verbose),
               Server(args.https_port, state, ctx, args.verbose)]
    state.ports = {"http": servers[0].server_address[1], "https": servers[1].server_address[1]}
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()

    ready = json.dumps(state.ports)
    if args.ready:
        tmp = args.ready + ".tmp"
        with open(tmp, "w") as f:
            f.write(ready)
        os.replace(tmp, args.ready)
    print(ready, flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    while not stop.wait(0.5):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()


if __name__ == "__main__":
    sys.exit(main())
