#!/usr/bin/env python3
"""Runs the real launcher exe under Wine in a real window against the test nginx, looks at the window
from outside like a player, presses the play button and checks what reached the disk and the game.

Usage: launcher_e2e.py CASE BUILD_DIR SERVER_STATE_DIR
CASE: first_install, update, already_current or server_down. Needs DISPLAY (tools/test.sh sets it).
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
SHOTS = os.path.join(BUILD, "e2e-screenshots")
GAME_ARGS = ("192.0.2.10:7777 -ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl=https://localhost")


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def wine(*args, **kwargs):
    return subprocess.Popen(["wine", *args], stdin=subprocess.DEVNULL, **kwargs)


def game_build(version):
    """The files of a version, relative path -> bytes. Orvane.exe is the test game."""
    with open(os.path.join(BUILD, "tests", "test_game.exe"), "rb") as f:
        game = f.read()
    files = {
        "Orvane.exe": game,
        "Content/Paks/Orvane-Windows.pak": hashlib.sha256(version.encode()).digest() * (12 * 1048576 // 32),
        "Content/Карты/гавань.umap": ("гавань " + version).encode() * 1000,
        "Engine/config.ini": b"[Core]\nVersion=" + version.encode() + b"\n",
        "Engine/empty.dat": b"",
    }
    if version == "1.0":
        files["Content/old-intro.mp4"] = b"intro" * 5000
    return files


def publish(version, files):
    """Ships a build the way a game team does: orvane-publish into the tree nginx serves."""
    build = tempfile.mkdtemp(prefix="orvane-build-")
    try:
        lay_out(build, files, None)
        subprocess.run([os.environ["ORVANE_PUBLISHER"], "publish", "--build", build, "--version", version,
                        "--served", WWW], check=True)
    finally:
        shutil.rmtree(build)


def on_disk(folder, path):
    """The file Windows means by path: names compared without regard to letter case."""
    current = folder
    elements = path.split("/")
    for i, element in enumerate(elements):
        matches = [n for n in os.listdir(current) if n.lower() == element.lower()]
        if not matches:
            return os.path.join(current, *elements[i:])
        current = os.path.join(current, matches[0])
    return current


def lay_out(folder, files, version):
    for path, data in files.items():
        target = on_disk(folder, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
    if version:
        with open(os.path.join(folder, "launcher-version.txt"), "wb") as f:
            f.write(version.encode() + b"\n")


class Watch:
    """window_probe watch in the background, keeping every state the window showed."""

    def __init__(self):
        self.states = []
        self.process = wine(os.path.join(BUILD, "tests", "window_probe.exe"), "watch", "120",
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            percent, enabled, status = line.decode("utf-8").rstrip("\n").split("|", 2)
            self.states.append((int(percent), enabled == "enabled", status))

    def wait_for(self, status, seconds=90):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if self.states and self.states[-1][2] == status:
                return self.states[-1]
            time.sleep(0.05)
        raise AssertionError(f"window never showed {status!r}; it showed {self.states}")

    def stop(self):
        self.process.kill()
        self.process.wait()


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what)


def run_case(folder):
    launcher_exe = "launcher_server_down.exe" if CASE == "server_down" else "OrvaneLauncher.exe"
    source = os.path.join(BUILD, "tests" if CASE == "server_down" else "", launcher_exe)
    shutil.copy(source, os.path.join(folder, "OrvaneLauncher.exe"))
    v1, v2 = game_build("1.0"), game_build("1.1")
    expected_files = v1
    # Every case starts a publishing history of its own.
    for name in ("publish-history.json", "updates/latest.json", "updates/full.json"):
        if os.path.exists(os.path.join(WWW, name)):
            os.remove(os.path.join(WWW, name))
    if CASE == "first_install":
        publish("1.0", v1)
        verdict = "Orvane 1.0 установлен и проверен. Можно играть."
    elif CASE == "update":
        lay_out(folder, v1, "1.0")
        publish("1.0", v1)
        publish("1.1", v2)
        verdict, expected_files = "Обновление 1.1 установлено и проверено. Можно играть.", v2
    elif CASE == "already_current":
        lay_out(folder, v2, "1.1")
        publish("1.1", v2)
        verdict, expected_files = "Версия 1.1 актуальна. Можно играть.", v2
    elif CASE == "case_rename":
        # The next build renames a folder and a file by letter case only and drops a file: Windows
        # sees the same file, so the update must replace it, not delete it.
        v1["Content/Readme.txt"] = b"read me, version one"
        v1["Content/remove-me.txt"] = b"gone in 1.1"
        lay_out(folder, v1, "1.0")
        publish("1.0", v1)
        v2["content/README.txt"] = b"read me, version two"
        publish("1.1", v2)
        verdict, expected_files = "Обновление 1.1 установлено и проверено. Можно играть.", v2
    else:
        lay_out(folder, v1, "1.0")
        verdict = "Не удалось проверить обновления. Можно запустить установленную версию."
    open(os.path.join(STATE, "nginx-access.log"), "w").close()

    launcher = wine(windows_path(os.path.join(folder, "OrvaneLauncher.exe")), cwd=BUILD)
    watch = Watch()
    try:
        percent, enabled, _ = watch.wait_for(verdict)
        shot = os.path.join(SHOTS, CASE + ".png")
        subprocess.run(["import", "-window", "root", shot], check=True)
        print("screenshot:", shot)
        check(enabled, "the play button is enabled")
        statuses = [s for _, _, s in watch.states]
        if CASE in ("first_install", "update"):
            check(percent == 100, "the bar is full after an installation")
            check(any(s.startswith("Скачиваю файл ") for s in statuses), "download progress was shown")
            check(any(0 < p < 100 for p, _, _ in watch.states), "the bar moved between 0 and 100")
            check(all(not e for _, e, s in watch.states if s.startswith("Скачиваю файл ")),
                  "the play button stayed disabled while files were downloading")
        if CASE == "already_current":
            check(percent == 100, "the bar is full when nothing is needed")

        subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "click"], check=True,
                       stdin=subprocess.DEVNULL)
        watch.wait_for("Игра запущена. Можно закрыть лаунчер.", 30)
        record = os.path.join(folder, "game-run.txt")
        for _ in range(100):
            if os.path.exists(record) and open(record, "rb").read().count(b"\n") >= 2:
                break
            time.sleep(0.1)
        windows_folder = windows_path(folder)
        expected = f'"{windows_folder}\\Orvane.exe" {GAME_ARGS}\n{windows_folder}\n'
        check(open(record, encoding="utf-8").read() == expected, "the game got the documented command line")
    finally:
        subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "close"], stdin=subprocess.DEVNULL)
        watch.stop()
        try:
            launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            launcher.kill()
            raise AssertionError("the launcher did not exit after its window closed")
    check(launcher.returncode == 0, "the launcher exited with 0")

    for path, data in expected_files.items():
        with open(on_disk(folder, path), "rb") as f:
            check(f.read() == data, f"{path} holds the published bytes")
    leftovers = [f for _, _, names in os.walk(folder) for f in names if f.endswith(".download")]
    check(not leftovers, "no temporary file is left")
    log = open(os.path.join(folder, "launcher-update.log"), encoding="utf-8").read().splitlines()
    check(log[0] == "Orvane update session started.", "the log starts with the session line")
    requests = open(os.path.join(STATE, "nginx-access.log")).read().splitlines()
    if CASE == "case_rename":
        check(not os.path.exists(os.path.join(folder, "Content/remove-me.txt")), "the dropped file is gone")
        check(not any(line.startswith("Deleted obsolete file: ") and "eadme" in line.lower() for line in log),
              "the file renamed by case was not deleted")
    if CASE == "update":
        check(not os.path.exists(os.path.join(folder, "Content/old-intro.mp4")), "the obsolete file is gone")
        removed = "Deleted obsolete file: " + windows_path(os.path.join(folder, "Content/old-intro.mp4"))
        check(removed in log, "its removal is logged with the normalised path")
        check(len(requests) == 4, f"the manifest and three changed files were fetched: {requests}")
    if CASE == "already_current":
        check([r.split("|")[0] for r in requests] == ["/updates/latest.json"], "only the manifest was fetched")
    if CASE in ("first_install", "update", "already_current"):
        version = "1.0" if CASE == "first_install" else "1.1"
        check(open(os.path.join(folder, "launcher-version.txt"), "rb").read() == version.encode() + b"\n",
              "the installed version is recorded")
    if CASE == "server_down":
        check(log[2] == "Send/receive response failed: 12029", "the log names the failed connection")


def run_interrupted(folder):
    """A first installation cut short twice, by closing the window and by killing the process, then
    finished by a third start that resumes from what the first two left on disk."""
    shutil.copy(os.path.join(BUILD, "OrvaneLauncher.exe"), os.path.join(folder, "OrvaneLauncher.exe"))
    for name in ("publish-history.json", "updates/latest.json", "updates/full.json"):
        if os.path.exists(os.path.join(WWW, name)):
            os.remove(os.path.join(WWW, name))
    files = game_build("1.0")
    big_path = "Content/Paks/Orvane-Big.pak"
    # Large enough that the download outlasts the two seconds a Wine process takes to end after its
    # window closed (the worker runs on meanwhile; on Windows the process ends at once).
    files[big_path] = os.urandom(384 * 1048576)
    publish("1.0", files)
    big_url = "/updates/blobs/" + hashlib.sha256(files[big_path]).hexdigest()
    partial = on_disk(folder, big_path) + ".download"
    access_log = os.path.join(STATE, "nginx-access.log")
    open(access_log, "w").close()
    status = f"Скачиваю файл {sorted(files).index(big_path) + 1} из {len(files)}: Orvane-Big.pak"
    sizes = []
    for how, past in (("close", 5), ("kill", 60)):
        launcher = wine(windows_path(os.path.join(folder, "OrvaneLauncher.exe")), cwd=BUILD)
        watch = Watch()
        deadline = time.time() + 90
        while not any(s == status and p >= past for p, _, s in watch.states):
            if time.time() > deadline:
                raise AssertionError(f"the download never passed {past}%: {watch.states}")
            time.sleep(0.01)
        if how == "close":
            subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "close"],
                           stdin=subprocess.DEVNULL)
            launcher.wait(timeout=30)
        else:
            launcher.kill()
            launcher.wait()
        watch.stop()
        check(not os.path.exists(on_disk(folder, big_path)), f"after '{how}' nothing stands under the real name")
        size = os.path.getsize(partial)
        check(0 < size < len(files[big_path]), f"after '{how}' the partial download holds {size} bytes")
        check(files[big_path].startswith(open(partial, "rb").read()), "and they are the file's first bytes")
        sizes.append(size)
    check(sizes[0] < sizes[1], "the second start went on from where the first stopped")

    launcher = wine(windows_path(os.path.join(folder, "OrvaneLauncher.exe")), cwd=BUILD)
    watch = Watch()
    try:
        watch.wait_for("Orvane 1.0 установлен и проверен. Можно играть.")
    finally:
        subprocess.run(["wine", os.path.join(BUILD, "tests", "window_probe.exe"), "close"], stdin=subprocess.DEVNULL)
        watch.stop()
        launcher.wait(timeout=30)
    for path, data in files.items():
        with open(on_disk(folder, path), "rb") as f:
            check(f.read() == data, f"{path} holds the published bytes")
    ranges = [line.split("|")[1] for line in open(access_log).read().splitlines() if line.startswith(big_url + "|")]
    check(ranges == ["-", f"bytes={sizes[0]}-", f"bytes={sizes[1]}-"],
          f"each start asked only for the bytes it lacked: {ranges}")


def main():
    os.makedirs(SHOTS, exist_ok=True)
    root = tempfile.mkdtemp(prefix="orvane-e2e-")
    folder = os.path.join(root, "Мои игры", "Orvane")
    os.makedirs(folder)
    try:
        run_interrupted(folder) if CASE == "interrupted" else run_case(folder)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"EndToEnd.{CASE} passed")


if __name__ == "__main__":
    main()
