#!/usr/bin/env python3
"""Game builds for bench/publish.sh, laid out like a live game's: nested folders, non-ASCII names,
many small files of random bytes.

  builds.py make DIR FILES SEED         a build of FILES files (256 to 8191 bytes each)
  builds.py change DIR SEED PERCENT     rewrites PERCENT % of the files (nine in ten at the same
                                        name, the rest removed and as many added); prints the
                                        paths written, one a line
"""
import os
import random
import sys


def name(i):
    return os.path.join("Content", f"Карты_{i % 40:02d}", f"Уровень {i % 13}", f"pak{i % 7}", f"файл_{i:06d}.uasset")


def write(path, rng):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(rng.randbytes(rng.randint(256, 8191)))


def files(root):
    found = []
    for folder, _, names in os.walk(root):
        found.extend(os.path.join(folder, n) for n in names)
    return sorted(found)


def main():
    command, root, seed = sys.argv[1], sys.argv[2], int(sys.argv[4] if sys.argv[1] == "make" else sys.argv[3])
    rng = random.Random(seed)
    if command == "make":
        for i in range(int(sys.argv[3])):
            write(os.path.join(root, name(i)), rng)
        return
    present = files(root)
    chosen = rng.sample(present, max(1, len(present) * int(sys.argv[4]) // 100))
    written = []
    for k, path in enumerate(chosen):
        if k % 10 == 9:
            os.remove(path)
            path = os.path.join(root, name(10_000_000 + seed * 100_000 + k))
        write(path, rng)
        written.append(path)
    print("\n".join(written))


main()
