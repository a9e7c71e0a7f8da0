#!/usr/bin/env python3
"""Makes the demo game's builds and publishes one into the served tree.

Usage: demo-game.py SERVED_ROOT GAME_EXE VERSION
Files are stored once under updates/blobs/ by their SHA-256; full.json and latest.json name them, and
deletedFiles lists what earlier published versions had and this one lacks.
"""
import hashlib
import json
import os
import sys

root, game_exe, version = sys.argv[1:4]
updates = os.path.join(root, "updates")
blobs = os.path.join(updates, "blobs")
history_path = os.path.join(updates, "demo-history.json")
os.makedirs(blobs, exist_ok=True)


def chunk(seed, size):
    """Deterministic incompressible-looking bytes."""
    out = bytearray()
    block = hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 64
    return bytes(out[:size])


with open(game_exe, "rb") as f:
    files = {"Orvane.exe": f.read()}
files["Content/Paks/Orvane-WindowsClient.pak"] = chunk("client " + version, 96 * 1048576)
files["Content/Paks/Orvane-Maps.pak"] = chunk("maps 1.0", 64 * 1048576)
files["Content/Карты/Гавань.umap"] = chunk("harbor " + version, 3 * 1048576)
files["Engine/Config/Orvane.ini"] = f"[Orvane]\nVersion={version}\n".encode()
if version == "1.0":
    files["Content/Movies/Intro-old.mp4"] = chunk("intro", 2 * 1048576)

entries = []
for path, data in files.items():
    digest = hashlib.sha256(data).hexdigest()
    blob = os.path.join(blobs, digest)
    if not os.path.exists(blob):
        with open(blob + ".tmp", "wb") as f:
            f.write(data)
        os.replace(blob + ".tmp", blob)
    entries.append({"path": path, "url": f"/updates/blobs/{digest}", "sha256": digest, "size": len(data)})

history = json.load(open(history_path)) if os.path.exists(history_path) else []
current = {p.lower() for p in files}
deleted = sorted({p for v in history for p in v["paths"] if p.lower() not in current})
history.append({"version": version, "paths": sorted(files)})
manifest = json.dumps({"version": version, "mandatory": False, "files": entries, "deletedFiles": deleted},
                      ensure_ascii=False, indent=2)
for name in ("full.json", "latest.json"):
    with open(os.path.join(updates, name + ".tmp"), "w", encoding="utf-8") as f:
        f.write(manifest)
    os.replace(os.path.join(updates, name + ".tmp"), os.path.join(updates, name))
with open(history_path, "w") as f:
    json.dump(history, f)
print(f"published demo version {version}: {len(entries)} files, {len(deleted)} obsolete")
