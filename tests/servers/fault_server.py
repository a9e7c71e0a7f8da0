#!/usr/bin/env python3
# HTTPS server for what a static server will not do: cut bodies, ignored ranges, chosen status codes,
# a manifest of any bytes, or no answer at all.
#
# Usage: fault_server.py ROOT LOG ADDRESS CERT KEY. Files are served from ROOT with Range support like a
# static server. ROOT/control.txt, read on every request, chooses another behaviour for a request path,
# one rule a line:
#     /updates/a.bin cut 1000     every response for the path breaks off after 1000 body bytes
#     /updates/a.bin norange      200 with the whole file, whatever Range asks
#     /updates/a.bin status 500   that status with an empty body
#     /updates/a.bin hang         read the request, never answer
# Every request is appended to LOG as it arrives: path|range header|method|user agent|the names of all
# headers received, sorted and comma-separated.
import http.server
import os
import re
import ssl
import sys
import threading

ROOT, LOG, ADDRESS, CERT, KEY = sys.argv[1:6]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self, status, body=b"", headers=(), cut=None):
        try:
            self.send_response(status)
            for name, value in [("Content-Length", str(len(body))), ("Connection", "close"), *headers]:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body[:cut])
            self.wfile.flush()
        except OSError:
            pass  # the client hung up, as it does on a status it rejects

    def do_GET(self):
        rules = os.path.join(ROOT, "control.txt")
        with open(rules if os.path.exists(rules) else os.devnull, encoding="utf-8") as f:
            rule = {p[0]: p[1:] for p in (line.split() for line in f) if p}.get(self.path, [""])
        path = os.path.join(ROOT, self.path.lstrip("/"))
        with open(LOG, "a", encoding="utf-8") as f:  # one short append a line: lines never interleave
            f.write(f"{self.path}|{self.headers.get('Range', '')}|{self.command}|"
                    f"{self.headers.get('User-Agent', '')}|{','.join(sorted(self.headers.keys()))}\n")
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        if rule[0] == "hang":
            threading.Event().wait()
        elif rule[0] == "status":
            self.answer(int(rule[1]))
        elif ".." in self.path.split("/") or not os.path.isfile(path):
            self.answer(404)
        else:
            with open(path, "rb") as f:
                data = f.read()
            cut = int(rule[1]) if rule[0] == "cut" else None
            start = int(match.group(1)) if match and rule[0] != "norange" else None
            if start is None:
                self.answer(200, data, cut=cut)
            elif start >= len(data):
                self.answer(416, headers=[("Content-Range", f"bytes */{len(data)}")])
            else:
                self.answer(206, data[start:], [("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}")], cut)


server = http.server.ThreadingHTTPServer((ADDRESS, 443), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever(poll_interval=0.2)
