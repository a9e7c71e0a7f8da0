#!/usr/bin/env python3
"""Publishes builds with awkward but valid names and checks that the launcher's own manifest scanner,
running under Wine, reads exactly the paths, urls, digests and sizes that were published.

Usage: published_manifests.py ORVANE_PUBLISH WINE_RUN MANIFEST_DUMP_EXE
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

publish, wine_run, dump = sys.argv[1:4]
root = tempfile.mkdtemp(prefix="orvane-published-")


def build(files):
    folder = os.path.join(root, "build")
    shutil.rmtree(folder, ignore_errors=True)
    for path, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
        with open(os.path.join(folder, path), "wb") as f:
            f.write(data)
    return folder


def read_by_launcher(name):
    path = "Z:" + os.path.join(root, "served", "updates", name).replace("/", "\\")
    out = subprocess.run([wine_run, dump, path], capture_output=True, check=True, stdin=subprocess.DEVNULL)
    return out.stdout.decode("utf-8").replace("\r\n", "\n").splitlines()


def expected(version, mandatory, files, deleted):
    lines = [f"version\t{version}\t{int(mandatory)}"]
    for path in sorted(files):
        digest = hashlib.sha256(files[path]).hexdigest()
        lines.append(f"file\t{path}\t/updates/blobs/{digest}\t{digest}\t{len(files[path])}")
    return lines + [f"deleted\t{p}" for p in deleted]


try:
    v1 = {
        "Orvane.exe": b"MZ",
        "version": b"named like the version key",
        "files": b"named like the list key",
        "url": b"named like an entry key",
        "Content/sha256/size": b"",
        "Content/Карты/Гавань и порт.umap": "гавань".encode() * 1000,
        "Игра с пробелами/очень/глубоко/вложенная/папка/файл (1) {копия [2.pak": b"deep",
        "Data/big.pak": os.urandom(5 * 1048576 + 3),
        "mandatory": b'"mandatory": true',
        "obsolete/старый.pak": b"old",
    }
    subprocess.run([publish, "publish", "--build", build(v1), "--version", "1.0 бета", "--served",
                    os.path.join(root, "served")], check=True)
    for name in ("latest.json", "full.json"):
        got, want = read_by_launcher(name), expected("1.0 бета", False, v1, [])
        assert got == want, f"{name}: the launcher read\n{got}\ninstead of\n{want}"
    v2 = dict(v1)
    del v2["obsolete/старый.pak"]
    v2["Content/КАРТЫ/ГАВАНЬ И ПОРТ.umap"] = v2.pop("Content/Карты/Гавань и порт.umap")
    subprocess.run([publish, "publish", "--build", build(v2), "--version", "2", "--mandatory", "--served",
                    os.path.join(root, "served")], check=True)
    got, want = read_by_launcher("latest.json"), expected("2", True, v2, ["obsolete/старый.pak"])
    assert got == want, f"the launcher read\n{got}\ninstead of\n{want}"
    subprocess.run([publish, "verify", "--served", os.path.join(root, "served")], check=True)
    print("the launcher reads both published versions exactly as published")
finally:
    shutil.rmtree(root, ignore_errors=True)
