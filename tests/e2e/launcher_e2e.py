#!/usr/bin/env python3
# The real launcher exe under Wine in a real window against the test nginx, seen and pressed from
# outside as a player would (window_probe): what only the whole program can show.
# Usage: launcher_e2e.py CASE BUILD_DIR SERVER_STATE_DIR   (CASE: a function below; needs DISPLAY)
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

CASE, BUILD, STATE = sys.argv[1:4]
WWW, LOG = os.path.join(STATE, "www"), os.path.join(STATE, "nginx-access.log")
PROBE = os.path.join(BUILD, "tests", "window_probe.exe")
INSTALLED = "Orvane 1.0 установлен и проверен. Можно играть."
GAME_ARGS = "192.0.2.10:7777 -ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl=https://localhost"
LAYOUT = ["orvanelauncherwindow|Orvane Launcher|0,0,760,460|0", "static|ORVANE|52,52,552,110|0",
          "static|Первый прототип лаунчера|55,117,555,149|0", f"static|{INSTALLED}|55,250,675,280|0",
          "msctls_progress32||55,282,675,296|0", "button|ИГРАТЬ|55,318,275,372|1001"]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def probe(*args):
    return subprocess.run(["wine", PROBE, *args], stdin=subprocess.DEVNULL, capture_output=True,
                          check=True).stdout.decode("utf-8").splitlines()


def requests():
    with open(LOG, encoding="utf-8") as f:
        return [line.split("|")[:2] for line in f]


def publish(files, version="1.0"):
    # Ships a version the way a game team does into the tree nginx serves; 1.0 starts a new history.
    for name in ("publish-history.json", "updates/latest.json", "updates/full.json"):
        if version == "1.0" and os.path.exists(os.path.join(WWW, name)):
            os.remove(os.path.join(WWW, name))
    build = tempfile.mkdtemp(prefix="orvane-build-")
    try:
        for path, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(build, path)), exist_ok=True)
            with open(os.path.join(build, path), "wb") as f:
                f.write(data)
        subprocess.run([os.environ["ORVANE_PUBLISHER"], "publish", "--build", build, "--version", version, "--served", WWW],
                       check=True, stdout=subprocess.DEVNULL)
    finally:
        shutil.rmtree(build)
    open(LOG, "w").close()


class Launcher:
    # The launcher started from its folder, and every state its window showed: (percent, play enabled, status).
    def __init__(self, exe):
        self.process = subprocess.Popen(["wine", "Z:" + exe.replace("/", "\\")], cwd=os.path.dirname(exe),
                                        stdin=subprocess.DEVNULL)
        self.states = []
        self.watch = subprocess.Popen(["wine", PROBE, "watch", "120"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.watch.stdout:
            percent, enabled, status = line.decode("utf-8").rstrip("\n").split("|", 2)
            self.states.append((int(percent), enabled == "enabled", status))

    def wait_for(self, test, what, seconds=90):
        deadline = time.time() + seconds
        while not (self.states and test(*self.states[-1])):
            if time.time() > deadline:
                raise AssertionError(f"the window never showed {what}; it showed {self.states[-5:]}")
            time.sleep(0.01)
        return self.states[-1]

    def close(self, kill=False):
        try:
            self.process.kill() if kill else probe("close")
            self.process.wait(timeout=30)
        finally:  # nothing of a failed case may linger into the next
            self.process.kill()
            self.watch.kill()
            self.watch.wait()


def run(exe, verdict, then=lambda launcher: None, kill=False):
    launcher = Launcher(exe)
    try:
        state = launcher.wait_for(verdict if callable(verdict) else lambda p, e, s: s == verdict, verdict)
        then(launcher)
    finally:
        launcher.close(kill)
    return launcher, state


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what)


def game_files():
    return {"Orvane.exe": read(os.path.join(BUILD, "tests", "test_game.exe")), "Engine/empty.dat": b"",
            "Content/Paks/Orvane-Windows.pak": hashlib.sha256(b"1.0").digest() * (12 * 1048576 // 32),
            "Content/Карты/гавань.umap": "гавань".encode() * 1000}


def first_install(folder, exe):
    # The window as the player sees it, progress, the play button enabled only at the verdict, each
    # press (whatever its notification code) starting the game with its command line; then an update
    # that changes a file, renames a folder by letter case only and retires a file.
    files = game_files()
    publish(files)

    def look_and_press(launcher):
        subprocess.run(["import", "-window", "root", os.path.join(BUILD, "e2e-screenshots", CASE + ".png")], check=True)
        layout = probe("layout")
        check([f"{c.lower()}|{rest}" for c, rest in (line.split("|", 1) for line in layout[:6])] == LAYOUT,
              f"title, size, controls, texts and places as designed: {layout}")
        check(int(layout[6]) & 0x00CF0000 == 0x00CA0000, "a caption, a menu and a minimise box; no sizing")
        check(any(0 < p < 100 and s.startswith("Скачиваю файл ") for p, _, s in launcher.states), "the bar moved")
        check(not any(e for _, e, s in launcher.states if s.startswith("Скачиваю файл ")),
              "the play button stayed disabled while files were downloading")
        for message, w_param in (("32770", "0"), ("32769", "0"), ("273", "1002")):  # null records, other commands
            probe("send", message, w_param)
        check(probe("watch", "0")[0] == f"100|enabled|{INSTALLED}", "they change nothing; the bar is full, play enabled")
        probe("click")
        probe("send", "273", str(0x1234 << 16 | 1001))
        launcher.wait_for(lambda p, e, s: s == "Игра запущена. Можно закрыть лаунчер.", "the game started", 30)

    launcher, _ = run(exe, INSTALLED, look_and_press)
    check(launcher.process.returncode == 0, "the launcher exited with 0 after its window closed")
    game = "Z:" + folder.replace("/", "\\")
    expected = f'"{game}\\Orvane.exe" {GAME_ARGS}\n{game}\n' * 2
    for _ in range(100):
        if os.path.exists(os.path.join(folder, "game-run.txt")) and read(os.path.join(folder, "game-run.txt")) == expected.encode():
            break
        time.sleep(0.1)
    check(read(os.path.join(folder, "game-run.txt")).decode() == expected, "two presses, two games, each with its command line and folder")
    check(all(read(os.path.join(folder, p)) == data for p, data in files.items()), "every file holds its published bytes")
    files["content/Карты/гавань.umap"] = files.pop("Content/Карты/гавань.umap") + b"1.1"
    del files["Engine/empty.dat"]
    publish(files, "1.1")
    run(exe, "Обновление 1.1 установлено и проверено. Можно играть.")
    check(read(os.path.join(folder, "Content/Карты/гавань.umap")).endswith(b"1.1"), "the changed file is replaced")
    check(not os.path.exists(os.path.join(folder, "Engine/empty.dat")), "the retired file is gone")
    check(len(requests()) == 2, "only the manifest and the changed file were fetched")


def interrupted(folder, exe):
    # A first installation cut short by closing the window and by a kill, then finished by a third
    # start; each start asks only for the bytes it lacks.
    files = game_files()
    big = "Content/Paks/Orvane-Big.pak"
    files[big] = os.urandom(384 * 1048576)  # outlasts the two seconds Wine takes to end after the window closed
    publish(files)
    status = f"Скачиваю файл {sorted(files).index(big) + 1} из {len(files)}: Orvane-Big.pak"
    sizes = []
    for kill, past in ((False, 5), (True, 60)):
        run(exe, lambda p, e, s: s == status and p >= past, kill=kill)
        check(not os.path.exists(os.path.join(folder, big)), "nothing stands under the real name")
        partial = read(os.path.join(folder, big + ".download"))
        check(0 < len(partial) < len(files[big]) and files[big].startswith(partial), f"{len(partial)} bytes kept")
        sizes.append(len(partial))
    run(exe, INSTALLED)
    check(read(os.path.join(folder, big)) == files[big], "the big file holds the published bytes")
    url = "/updates/blobs/" + hashlib.sha256(files[big]).hexdigest()
    ranges = [r for path, r in requests() if path == url]
    check(ranges == ["-", f"bytes={sizes[0]}-", f"bytes={sizes[1]}-"], f"each start resumed: {ranges}")


def exit_while_logging(folder, exe):
    # Windows closed while their workers are logging, 20 times (four launchers at once): an exiting
    # process must not send log lines to a file of another name in its game folder (its current one).
    publish({f"Content/{i:03}.dat": b"%d" % i for i in range(400)})
    folders = [os.path.join(folder, str(i)) for i in range(4)]
    for folder_i in folders:
        os.makedirs(folder_i)
        shutil.copy(exe, folder_i)
    for round_ in range(5):
        launchers = []
        try:
            for folder_i in folders:
                shutil.rmtree(os.path.join(folder_i, "Content"), ignore_errors=True)
                if os.path.exists(os.path.join(folder_i, "launcher-update.log")):  # a new one counts this round
                    os.remove(os.path.join(folder_i, "launcher-update.log"))
                launchers.append(subprocess.Popen(["wine", "Z:" + folder_i.replace("/", "\\") + "\\OrvaneLauncher.exe"],
                                                  cwd=folder_i, stdin=subprocess.DEVNULL))
            deadline = time.time() + 60
            while any(logged(f) < 2 + 3 * round_ for f in folders) and time.time() < deadline:
                time.sleep(0.01)
            probe("close")
            for launcher in launchers:
                launcher.wait(timeout=30)
        finally:
            for launcher in launchers:
                launcher.kill()
        for folder_i in folders:
            stray = set(os.listdir(folder_i)) - {"OrvaneLauncher.exe", "launcher-update.log", "launcher-version.txt", "Content"}
            check(not stray, f"round {round_ + 1}, {folder_i}: no stray file appeared {stray}")


def signed_release(folder, exe):
    # The signed release build (a trial for localhost) runs a real update session like any build.
    files = game_files()
    publish(files)
    run(exe, INSTALLED)
    check(all(read(os.path.join(folder, p)) == data for p, data in files.items()), "every file holds its published bytes")


def logged(folder):
    # Downloads the worker has started so far.
    path = os.path.join(folder, "launcher-update.log")
    return read(path).count(b"Download start: ") if os.path.exists(path) else 0


os.makedirs(os.path.join(BUILD, "e2e-screenshots"), exist_ok=True)
root = tempfile.mkdtemp(prefix="orvane-e2e-")
game_folder = os.path.join(root, "Мои игры", "Orvane")
os.makedirs(game_folder)
launcher_exe = os.path.join(game_folder, "OrvaneLauncher.exe")
shutil.copy(os.environ.get("ORVANE_LAUNCHER_EXE", os.path.join(BUILD, "OrvaneLauncher.exe")), launcher_exe)
try:
    globals()[CASE](game_folder, launcher_exe)
finally:
    shutil.rmtree(root, ignore_errors=True)
print(f"EndToEnd.{CASE} passed")
