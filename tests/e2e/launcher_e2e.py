#!/usr/bin/env python3
"""The real launcher exe under Wine in a real window against the test nginx, seen from outside as a
player sees it (window_probe), for what only the whole program can show.

Usage: launcher_e2e.py CASE BUILD_DIR SERVER_STATE_DIR   (CASE: a key of CASES; needs DISPLAY)
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

CASE, BUILD, STATE = sys.argv[1:4]
WWW = os.path.join(STATE, "www")
PROBE = os.path.join(BUILD, "tests", "window_probe.exe")
GAME_ARGS = "192.0.2.10:7777 -ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl=https://localhost"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def read(path, mode="rb"):
    with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8"})) as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def publish(files):
    """Ships version 1.0 the way a game team does, into the tree nginx serves."""
    for name in ("publish-history.json", "updates/latest.json", "updates/full.json"):
        if os.path.exists(os.path.join(WWW, name)):
            os.remove(os.path.join(WWW, name))
    build = tempfile.mkdtemp(prefix="orvane-build-")
    try:
        for path, data in files.items():
            write(os.path.join(build, path), data)
        subprocess.run([os.environ["ORVANE_PUBLISHER"], "publish", "--build", build, "--version", "1.0",
                        "--served", WWW], check=True, stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(build)


class Launcher:
    """The launcher started from its folder, and window_probe watch keeping every state the window showed."""

    def __init__(self, exe):
        self.process = subprocess.Popen(["wine", windows_path(exe)], cwd=os.path.dirname(exe), stdin=subprocess.DEVNULL)
        self.states = []
        self.watch = subprocess.Popen(["wine", PROBE, "watch", "120"], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.watch.stdout:
            percent, enabled, status = line.decode("utf-8").rstrip("\n").split("|", 2)
            self.states.append((int(percent), enabled == "enabled", status))

    def wait_for(self, test, what, seconds=90):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if self.states and test(*self.states[-1]):
                return self.states[-1]
            time.sleep(0.01)
        raise AssertionError(f"the window never showed {what}; it showed {self.states[-5:]}")

    def close(self, kill=False):
        if kill:
            self.process.kill()
        else:
            subprocess.run(["wine", PROBE, "close"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.process.wait(timeout=30)
        self.watch.kill()
        self.watch.wait()


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what)


def game_files():
    files = {"Orvane.exe": read(os.path.join(BUILD, "tests", "test_game.exe")),
             "Content/Paks/Orvane-Windows.pak": hashlib.sha256(b"1.0").digest() * (12 * 1048576 // 32),
             "Content/Карты/гавань.umap": "гавань".encode() * 1000, "Engine/empty.dat": b""}
    return files


def first_install(folder, exe):
    """Progress while installing, the play button enabled only at the verdict, and the game started
    with its command line from the game's folder."""
    files = game_files()
    publish(files)
    launcher = Launcher(exe)
    try:
        percent, enabled, _ = launcher.wait_for(lambda p, e, s: s == "Orvane 1.0 установлен и проверен. Можно играть.",
                                                "the first-installation verdict")
        subprocess.run(["import", "-window", "root", os.path.join(BUILD, "e2e-screenshots", CASE + ".png")], check=True)
        check(enabled and percent == 100, "the bar is full and the play button enabled")
        check(any(0 < p < 100 and s.startswith("Скачиваю файл ") for p, _, s in launcher.states), "the bar moved")
        check(not any(e for _, e, s in launcher.states if s.startswith("Скачиваю файл ")),
              "the play button stayed disabled while files were downloading")
        subprocess.run(["wine", PROBE, "click"], check=True, stdin=subprocess.DEVNULL)
        launcher.wait_for(lambda p, e, s: s == "Игра запущена. Можно закрыть лаунчер.", "the game started", 30)
    finally:
        launcher.close()
    check(launcher.process.returncode == 0, "the launcher exited with 0 after its window closed")
    record = os.path.join(folder, "game-run.txt")
    for _ in range(100):
        if os.path.exists(record) and read(record).count(b"\n") >= 2:
            break
        time.sleep(0.1)
    check(read(record, "r") == f'"{windows_path(folder)}\\Orvane.exe" {GAME_ARGS}\n{windows_path(folder)}\n',
          "the game got its command line and the game's folder as its current folder")
    for path, data in files.items():
        check(read(os.path.join(folder, path)) == data, f"{path} holds the published bytes")


def interrupted(folder, exe):
    """A first installation cut short by closing the window and by a kill, then finished by a third
    start; each start asks only for the bytes it lacks."""
    files = game_files()
    big = "Content/Paks/Orvane-Big.pak"
    # Large enough to outlast the two seconds a Wine process takes to end after its window closed.
    files[big] = os.urandom(384 * 1048576)
    publish(files)
    url = "/updates/blobs/" + hashlib.sha256(files[big]).hexdigest()
    open(os.path.join(STATE, "nginx-access.log"), "w").close()
    status = f"Скачиваю файл {sorted(files).index(big) + 1} из {len(files)}: Orvane-Big.pak"
    sizes = []
    for kill, past in ((False, 5), (True, 60)):
        launcher = Launcher(exe)
        try:
            launcher.wait_for(lambda p, e, s: s == status and p >= past, f"the download past {past}%")
        finally:
            launcher.close(kill)
        check(not os.path.exists(os.path.join(folder, big)), "nothing stands under the real name")
        partial = read(os.path.join(folder, big + ".download"))
        check(0 < len(partial) < len(files[big]) and files[big].startswith(partial),
              f"the partial download holds the file's first {len(partial)} bytes")
        sizes.append(len(partial))
    launcher = Launcher(exe)
    try:
        launcher.wait_for(lambda p, e, s: s == "Orvane 1.0 установлен и проверен. Можно играть.", "the verdict")
    finally:
        launcher.close()
    check(read(os.path.join(folder, big)) == files[big], "the big file holds the published bytes")
    ranges = [line.split("|")[1] for line in read(os.path.join(STATE, "nginx-access.log"), "r").splitlines()
              if line.startswith(url + "|")]
    check(ranges == ["-", f"bytes={sizes[0]}-", f"bytes={sizes[1]}-"], f"each start resumed: {ranges}")


def exit_while_logging(folder, exe):
    """The window closed while the worker is logging, 20 times: the exiting process must not send
    log lines to a file of any other name, in the game's folder or the current one."""
    publish({f"Content/{i:03}.dat": b"%d" % i for i in range(400)})
    for run in range(20):
        shutil.rmtree(os.path.join(folder, "Content"), ignore_errors=True)
        launcher = Launcher(exe)
        try:
            launcher.wait_for(lambda p, e, s: s.startswith("Скачиваю файл ") and p >= 2 + run, "downloads under way")
        finally:
            launcher.close()
        stray = sorted(set(os.listdir(folder)) - {"OrvaneLauncher.exe", "launcher-update.log", "Content"})
        check(not stray, f"run {run + 1}: no stray file appeared {stray}")


CASES = {"first_install": first_install, "interrupted": interrupted, "exit_while_logging": exit_while_logging}


def main():
    os.makedirs(os.path.join(BUILD, "e2e-screenshots"), exist_ok=True)
    root = tempfile.mkdtemp(prefix="orvane-e2e-")
    folder = os.path.join(root, "Мои игры", "Orvane")
    os.makedirs(folder)
    exe = os.path.join(folder, "OrvaneLauncher.exe")
    shutil.copy(os.environ.get("ORVANE_LAUNCHER_EXE", os.path.join(BUILD, "OrvaneLauncher.exe")), exe)
    try:
        CASES[CASE](folder, exe)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"EndToEnd.{CASE} passed")


if __name__ == "__main__":
    main()
