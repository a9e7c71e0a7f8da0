#!/usr/bin/env python3
"""HTTPS server for what a static server will not do: cut bodies, ignored ranges, chosen status codes,
a manifest of any bytes, or no answer at all.

Files are served from ROOT with Range support like a static server. ROOT/control.txt, read on every
request, chooses another behaviour for a request path, one rule a line:
    /updates/a.bin cut 1000     every response for the path breaks off after 1000 body bytes
    /updates/a.bin norange      200 with the whole file, whatever Range asks
    /updates/a.bin status 500   that status with an empty body
    /updates/a.bin hang         read the request, never answer
Every request is appended to LOG as: path|range header|status|body bytes sent|method|user agent|names of
all headers received, sorted and comma-separated.
"""
import http.server
import os
import re
import ssl
import sys
import threading
import time

ROOT, LOG, ADDRESS, CERT, KEY = sys.argv[1:6]
stopping = threading.Event()
log_lock = threading.Lock()


def rules():
    try:
        with open(os.path.join(ROOT, "control.txt"), encoding="utf-8") as f:
            lines = [line.split() for line in f if line.strip()]
    except FileNotFoundError:
        return {}
    return {parts[0]: parts[1:] for parts in lines}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self, status, sent):
        with log_lock, open(LOG, "a", encoding="utf-8") as f:
            names = ",".join(sorted(self.headers.keys()))
            f.write(f"{self.path}|{self.headers.get('Range', '')}|{status}|{sent}|{self.command}|"
                    f"{self.headers.get('User-Agent', '')}|{names}\n")

    def answer(self, status, body=b"", headers=(), cut=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        sent = body if cut is None else body[:cut]
        self.close_connection = True
        try:
            self.wfile.write(sent)
            self.wfile.flush()
        except OSError:
            sent = b""  # the client hung up, as it does on a status it rejects
        finally:
            self.record(status, len(sent))

    def do_GET(self):
        rule = rules().get(self.path, [])
        if rule[:1] == ["hang"]:
            self.record(0, 0)
            while not stopping.is_set() and not stopping.wait(0.5):
                pass
            return
        if rule[:1] == ["status"]:
            self.answer(int(rule[1]))
            return
        path = os.path.join(ROOT, self.path.lstrip("/"))
        if ".." in self.path.split("/") or not os.path.isfile(path):
            self.answer(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        cut = int(rule[1]) if rule[:1] == ["cut"] else None
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        if match and rule[:1] != ["norange"]:
            start = int(match.group(1))
            if start >= len(data):
                self.answer(416, headers=[("Content-Range", f"bytes */{len(data)}")])
                return
            self.answer(206, data[start:], [("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")], cut)
            return
        self.answer(200, data, cut=cut)

    def handle(self):
        try:
            super().handle()
        except (ConnectionError, ssl.SSLError, OSError):
            pass


def main():
    server = http.server.ThreadingHTTPServer((ADDRESS, 443), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(CERT, KEY)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        stopping.set()


if __name__ == "__main__":
    main()
