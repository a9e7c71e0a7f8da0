#!/usr/bin/env python3
"""Lays out a build of the demo game, as a game team's build machine would produce it.

Usage: demo-game.py BUILD_FOLDER GAME_EXE VERSION
Version 1.0 has an intro movie that later versions drop; the client pak changes with every version.
"""
import hashlib
import os
import shutil
import sys

folder, game_exe, version = sys.argv[1:4]


def chunk(seed, size):
    """Deterministic bytes that do not compress."""
    out = bytearray()
    block = hashlib.sha256(seed.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block * 64
    return bytes(out[:size])


shutil.rmtree(folder, ignore_errors=True)
with open(game_exe, "rb") as f:
    files = {"Orvane.exe": f.read()}
files["Content/Paks/Orvane-WindowsClient.pak"] = chunk("client " + version, 96 * 1048576)
files["Content/Paks/Orvane-Maps.pak"] = chunk("maps 1.0", 64 * 1048576)
files["Content/Карты/Гавань.umap"] = chunk("harbor " + version, 3 * 1048576)
files["Engine/Config/Orvane.ini"] = f"[Orvane]\nVersion={version}\n".encode()
if version == "1.0":
    files["Content/Movies/Intro-old.mp4"] = chunk("intro", 2 * 1048576)
for path, data in files.items():
    os.makedirs(os.path.dirname(os.path.join(folder, path)) or folder, exist_ok=True)
    with open(os.path.join(folder, path), "wb") as f:
        f.write(data)
