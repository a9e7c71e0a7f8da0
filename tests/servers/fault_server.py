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
#     /updates/a.bin short 1000   the first 1000 bytes, served as if they were the whole file
#     /updates/a.bin gzip         compressed when the request offers gzip, as a misconfigured CDN does
#     /updates/a.bin as /b.json   the bytes of another file under ROOT (a stale copy)
#     /updates/a.bin header Cache-Control max-age=3600     that header on every answer for the path
#     /updates/a.bin endless      200 without a length: the file, then blanks without end
#     /updates/a.bin length N     Content-Length N announced, whatever the body holds
# Lines for one path apply together; a path ending in * stands for every path it begins. Otherwise answers
# carry the shipped site's Cache-Control and Content-Type.
# Every request is appended to LOG as it arrives: path|range header|method|user agent|the names of all
# headers received, sorted and comma-separated.
import gzip
import http.server
import os
import re
import ssl
import sys
import threading

ROOT, LOG, ADDRESS, CERT, KEY = sys.argv[1:6]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self, status, body=b"", headers=(), cut=None, rule={}):
        try:
            self.send_response(status)
            cache = "no-cache" if self.path.endswith(".json") else "no-store" if status > 206 else "max-age=31536000"
            kind = "application/json" if self.path.endswith(".json") else "application/octet-stream"
            for name, value in (("Cache-Control", cache), ("Content-Type", kind)):  # as the shipped site answers
                headers = headers if any(n == name for n, _ in headers) else [*headers, (name, value)]
            length = [] if "endless" in rule else [("Content-Length", rule.get("length", [str(len(body))])[0])]
            for name, value in [*length, ("Connection", "close"), *headers]:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body[:cut])
            self.wfile.flush()
            while "endless" in rule:
                self.wfile.write(b" " * 65536)
        except OSError:
            pass  # the client hung up, as it does on a status it rejects

    def do_GET(self):
        rules = os.path.join(ROOT, "control.txt")
        with open(rules if os.path.exists(rules) else os.devnull, encoding="utf-8") as f:
            lines = [p[1:] for p in (line.split() for line in f)
                     if p and (p[0] == self.path or p[0].endswith("*") and self.path.startswith(p[0][:-1]))]
        rule, headers = {r[0]: r[1:] for r in lines}, [(r[1], " ".join(r[2:])) for r in lines if r[0] == "header"]
        path = os.path.join(ROOT, rule.get("as", [self.path])[0].lstrip("/"))
        with open(LOG, "a", encoding="utf-8") as f:  # one short append a line: lines never interleave
            f.write(f"{self.path}|{self.headers.get('Range', '')}|{self.command}|"
                    f"{self.headers.get('User-Agent', '')}|{','.join(sorted(self.headers.keys()))}\n")
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        if "hang" in rule:
            threading.Event().wait()
        elif "status" in rule:
            self.answer(int(rule["status"][0]), headers=headers)
        elif ".." in self.path.split("/") or not os.path.isfile(path):
            self.answer(404, headers=headers)
        else:
            with open(path, "rb") as f:
                data = f.read()[:int(rule["short"][0])] if "short" in rule else f.read()
            if "gzip" in rule and "gzip" in self.headers.get("Accept-Encoding", ""):
                data, headers = gzip.compress(data), [*headers, ("Content-Encoding", "gzip")]
            cut = int(rule["cut"][0]) if "cut" in rule else None
            start = int(match.group(1)) if match and "norange" not in rule else None
            if start is None:
                self.answer(200, data, headers, cut, rule)
            elif start >= len(data):
                self.answer(416, headers=[("Content-Range", f"bytes */{len(data)}"), *headers])
            else:
                self.answer(206, data[start:], [("Content-Range", f"bytes {start}-{len(data) - 1}/{len(data)}"), *headers],
                            cut, rule)

server = http.server.ThreadingHTTPServer((ADDRESS, 443), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(CERT, KEY)
# The handshake on the connection's own thread: one client whose link drips must not hold the others.
server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
server.serve_forever(poll_interval=0.2)
