#!/usr/bin/env python3
# The real launcher exe under Wine in a real window against the test nginx, seen and pressed from
# outside as a player would (window_probe): what only the whole program can show. Also what players
# receive through the shipped site and the caching edge, held to it by orvane-publish check.
# Usage: launcher_e2e.py CASE BUILD_DIR SERVER_STATE_DIR   (CASE: a function below; needs DISPLAY)
import email.utils
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CASE, BUILD, STATE = sys.argv[1], Path(sys.argv[2]), Path(sys.argv[3])
WWW, LOG, PROBE = STATE / "www", STATE / "nginx-access.log", BUILD / "tests" / "window_probe.exe"
FAULT, ORIGIN_LOG, CA = STATE / "fault-www", STATE / "origin-access.log", STATE / "pki" / "ca.crt"
EXE, INSTALLED = "OrvaneLauncher.exe", "Orvane 1.0 установлен и проверен. Можно играть."
PENDING = "launcher-update-pending.txt"  # an update's record of itself, from its first change to the version file
GAME_ARGS = "192.0.2.10:7777 -ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl=https://localhost"
# The title, the frame's style (a caption, a menu and a minimise box; no sizing, no maximise box) and
# size, then each control: class|text|left,top,right,bottom.
LAYOUT = ["Orvane Launcher|ca0000|0,0,760,460", "Static|ORVANE|52,52,552,110",
          "Static|Первый прототип лаунчера|55,117,555,149", f"Static|{INSTALLED}|55,250,675,280",
          "msctls_progress32||55,282,675,296", "Button|ИГРАТЬ|55,318,275,372"]
GAME = {"Orvane.exe": (BUILD / "tests" / "test_game.exe").read_bytes(), "Engine/empty.dat": b"",
        "Content/Paks/Orvane-Windows.pak": os.urandom(12 << 20), "Content/Карты/гавань.umap": "гавань".encode() * 1000}
STARTED = []  # every process a case starts, killed when the case ends however it ends


def wine(*args, **options):
    STARTED.append(subprocess.Popen(["wine", *args], stdin=subprocess.DEVNULL, **options))
    return STARTED[-1]


def probe(*args):
    return subprocess.check_output(["wine", PROBE, *args], stdin=subprocess.DEVNULL, timeout=60).decode().splitlines()


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what)


def eventually(test, seconds=10):
    # Whether test() comes true within the time, asked every twentieth of a second.
    return any(test() or time.sleep(0.05) for _ in range(seconds * 20))


def blob(data):
    return "/updates/blobs/" + hashlib.sha256(data).hexdigest()


def requests(log=LOG):
    # What nginx (or the origin behind the edge) was asked since the last publish: [path, Range]
    return [line.split("|") for line in log.read_text(encoding="utf-8").splitlines()]


def head(path, *args):
    # The status line and headers the test nginx answers on 127.0.0.1 (or with -6 on ::1).
    return subprocess.run(["curl", "-s", "--cacert", CA, "-o", "/dev/null", "-D", "-", *args, f"https://localhost{path}"],
                          capture_output=True, encoding="utf-8").stdout


def serve(edge):
    # What nginx serves on 127.0.0.1 and ::1: the shipped site, or the edge in front of it (see start.sh).
    sites = ["origin-behind-edge.conf", "orvane-edge.conf"] if edge else ["orvane-updates.conf"]
    (STATE / "site.conf").write_text("".join(f"include {STATE / site};\n" for site in sites))
    subprocess.run(["nginx", "-p", STATE, "-c", STATE / "nginx.conf", "-s", "reload"], check=True, stderr=subprocess.DEVNULL)
    check(eventually(lambda: (answer := head("/updates/latest.json")) and ("X-Cache" in answer) == edge),
          "nginx serves " + ("the edge" if edge else "the site"))


def publisher(*args, umask=0o022):
    # The publisher's exit status and what it said (its verdicts go to standard output, the rest to standard error).
    done = subprocess.run([os.environ["ORVANE_PUBLISHER"], *args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          encoding="utf-8", preexec_fn=lambda: os.umask(umask))
    return done.returncode, done.stdout


def check_host(url, *args):
    return publisher("check", "--url", url, "--ca-file", str(CA), "--served", str(WWW), *args)


def publish(files, version="1.0", clock=None):
    # Ships a version the way a game team does into the tree nginx serves (each case starts it afresh),
    # on a machine whose clock is off by `clock` (faketime's offset) when given.
    with tempfile.TemporaryDirectory(prefix="orvane-build-") as build:
        for path, data in files.items():
            (Path(build) / path).parent.mkdir(parents=True, exist_ok=True)
            (Path(build) / path).write_bytes(data)
        key = ["--signing-key", os.environ["ORVANE_SIGNING_KEY"]] if "ORVANE_SIGNING_KEY" in os.environ else []
        shifted = ["faketime", "-f", clock] if clock else []
        # Only the clock moves: faketime would also shift the times some calls report of a file and not
        # others, and the publisher would take every build file for one changed while it was read.
        subprocess.run([*shifted, os.environ["ORVANE_PUBLISHER"], "publish", "--build", build, "--version", version,
                        "--served", WWW, *key], check=True, stdout=subprocess.DEVNULL,
                       env=os.environ | {"FAKETIME_DONT_FAKE_MONOTONIC": "1", "NO_FAKE_STAT": "1"})
    LOG.write_text("")
    return files


def run(folder, want, least=0, then=lambda: None, kill=False):
    # Starts the game folder's launcher from the folder above (so the game's folder can only come from the
    # launcher), waits until its window shows the status wanted (at that percent or more), calls then(),
    # closes the window or kills the launcher. Returns every state the window showed up to the one wanted:
    # [percent, "enabled" or "disabled" (the play button), status].
    launcher = wine(folder / EXE, cwd=folder.parent)
    watch = wine(PROBE, "watch", "120", stdout=subprocess.PIPE, encoding="utf-8")
    states = []
    for line in watch.stdout:  # until the window closes or the watch's time is up
        states.append(line.rstrip("\n").split("|", 2))
        if states[-1][2] == want and int(states[-1][0]) >= least:
            break
    else:
        raise AssertionError(f"the window never showed {want} ({least}%); it showed {states[-5:]}")
    then()
    if kill:
        launcher.kill()
        check(launcher.wait(timeout=30) == -9, "the launcher was killed")
    elif close([launcher]) != [0] and states[-1][1] == "enabled":  # its worker done: nothing can race the exit
        raise AssertionError("the launcher did not end with 0 once its window closed")
    return states


def close(launchers):
    # WM_CLOSE to every launcher window, as a close box sends it; the windows must go. Then the exit codes.
    # The workers are never joined: Windows' ExitProcess stops them, but Wine's exit can race a worker's call
    # into wineserver ("wine client error", exit code 1) or stall, so a process still there is killed.
    probe("post", "16", "0")
    check(eventually(lambda: subprocess.run(["wine", PROBE, "watch", "0"], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL).returncode == 1, 30), "the launcher windows closed")
    for launcher in launchers:
        try:
            launcher.wait(timeout=30)
        except subprocess.TimeoutExpired:
            launcher.kill()
    return [launcher.wait() for launcher in launchers]


def first_install(folder):
    # The window as the player sees it, progress, the play button enabled only at the verdict, each
    # press (whatever its notification code) starting the game with its command line; then an update
    # that changes a file, renames a folder by letter case only and retires a file.
    files = publish(dict(GAME))

    def look_and_press():
        subprocess.run(["import", "-window", "root", BUILD / "e2e-screenshots" / f"{CASE}.png"], check=True)
        layout = probe("layout")
        check(layout == LAYOUT, f"title, frame, size, controls, texts and places as designed: {layout}")
        for message, w_param in (("32770", "0"), ("32769", "0"), ("273", "1002")):  # null records, other commands
            probe("post", message, w_param)
        check(probe("watch", "1") == [f"100|enabled|{INSTALLED}"], "they change nothing; the bar is full, play enabled")
        probe("post", "245", "0", "button")  # BM_CLICK
        probe("post", "273", str(0x1234 << 16 | 1001))
        check(probe("watch", "1")[-1] == "100|enabled|Игра запущена. Можно закрыть лаунчер.", "the game is started")

    states = run(folder, INSTALLED, then=look_and_press)
    check(any(0 < int(p) < 100 for p, _, s in states if s.startswith("Скачиваю ")), "the bar moved while downloading")
    check([s for _, play, s in states if play == "enabled"][0] == INSTALLED, "play was first enabled at the verdict")
    game, record = "Z:" + str(folder).replace("/", "\\"), folder / "game-run.txt"
    expected = f'"{game}\\Orvane.exe" {GAME_ARGS}\n{game}\n' * 2
    check(eventually(lambda: record.exists() and record.read_text(encoding="utf-8") == expected),
          "two presses, two games, each with its command line and folder")
    check(all((folder / p).read_bytes() == data for p, data in files.items()), "every file holds its published bytes")
    changed = files.pop("Content/Карты/гавань.umap") + b"1.1"
    del files["Engine/empty.dat"]
    publish(files | {"content/Карты/гавань.umap": changed}, "1.1")
    run(folder, "Обновление 1.1 установлено и проверено. Можно играть.")
    # Its folder's new name differs by letter case only: the same folder on Windows.
    check((folder / "Content/Карты/гавань.umap").read_bytes() == changed, "the changed file is replaced")
    check(not (folder / "Engine/empty.dat").exists(), "the retired file is gone")
    check(requests() == [["/updates/latest.json", "-"], [blob(changed), "-"]], "fetched: manifest and changed file")


def interrupted(folder):
    # A first installation cut short by closing the window and by a kill, then finished by a third
    # start; each start asks only for the bytes it lacks.
    big = "Content/Paks/Orvane-Big.pak"
    # Wine takes two seconds to end a process after its window closed, and the download goes on meanwhile at the
    # test nginx's 32 MB/s: 256 MiB outlasts that.
    files = publish(GAME | {big: os.urandom(256 * 1048576)})
    ranges = ["-"]
    for kill, past in ((False, 5), (True, 60)):
        run(folder, "Скачиваю файл 1 из 5: Orvane-Big.pak", past, kill=kill)  # the files go in order of their paths
        check(not (folder / big).exists() and not (folder / PENDING).exists(),
              "nothing stands under the real name, and before the first change no update is marked as pending")
        partial = (folder / (big + ".download")).read_bytes()
        check(0 < len(partial) < len(files[big]) and files[big].startswith(partial), f"{len(partial)} bytes kept")
        ranges.append(f"bytes={len(partial)}-")
    run(folder, INSTALLED)
    check((folder / big).read_bytes() == files[big] and not (folder / PENDING).exists(),
          "the big file holds the published bytes; the update is no longer marked")
    check([r for path, r in requests() if path == blob(files[big])] == ranges, f"each start resumed: {ranges}")


def exit_while_logging(folder):
    # Windows closed while their workers are logging, 20 times (four launchers at once): an exiting
    # process must not send log lines to a file of another name in its game folder (its current one).
    publish({f"Content/{i:03}.dat": b"%d" % i for i in range(400)})
    for round_ in range(5):
        # Each in a fresh copy of the game folder, where only its own log counts.
        games = [folder.parent / f"Orvane {round_}.{i}" for i in range(4)]
        launchers = [wine(shutil.copytree(folder, game) / EXE, cwd=game) for game in games]
        # Until each worker has started enough downloads.
        eventually(lambda: all(log.exists() and log.read_bytes().count(b"Download start: ") >= 2 + 3 * round_
                               for log in (game / "launcher-update.log" for game in games)), 60)
        close(launchers)  # all four at once; a lingering process is gone before the folders are looked at
        names = {name for game in games for name in os.listdir(game)}
        stray = names - {EXE, "Content", "launcher-update.log", "launcher-version.txt", PENDING}
        check(not stray, f"round {round_ + 1}: no stray file appeared beside the launchers {stray}")


def fronts(folder):
    # orvane-publish check passes the shipped site and a right front, and names each fault of a bad front
    # (the fault server set as one); then the site's other promises, asked with curl and openssl.
    pak, missing = "Content/Paks/Orvane-Windows.pak", "/updates/blobs/" + "0" * 64
    same = {f"Engine/{i}.ini": b"%d" % i for i in range(30)}  # in both versions: only the pak is new in 1.0
    publish(GAME | same | {pak: b"0.9"}, "0.9")
    stale = (WWW / "updates/latest.json").read_bytes()
    files = publish(GAME | same)
    started = time.time()
    code, said = check_host("https://localhost", "--all")
    check(code == 0 and "players are served right" in said, f"check --all passes the site ({time.time() - started:.1f} s): {said}")
    shutil.rmtree(FAULT)
    shutil.copytree(WWW / "updates", FAULT / "updates")
    (FAULT / "updates/stale.json").write_bytes(stale)
    url = blob(files[pak])
    for rules, args, status, problems in [  # the fault server's control.txt, options, exit status, lines wanted
        ("", ["--all"], 0, ["players are served right"]),
        # --sample 1 takes one file at random and every file new in 1.0: the pak.
        (f"{url} norange", ["--sample", "1"], 1, ["(the launcher needs 206): a download resumed", "(its end; needs 416)"]),
        ("/updates/latest.json gzip", [], 1, ["/updates/latest.json: Content-Encoding: gzip when the request offers"]),
        ("/updates/latest.json header Cache-Control max-age=3600", [], 1, ["latest.json: may be kept 3600 s"]),
        ("/updates/latest.json as /updates/stale.json", ["--wait", "1"], 1,
         ["latest.json: players are offered 0.9, the served folder has 1.0 (still after 1 s)", "names 0.9, /updates/full.json names 1.0"]),
        (f"{url} short 1000", [], 1, [f"{url} ({pak}): 1000 bytes, the manifest says {len(files[pak])}", 'to "Range: bytes=']),
        (f"{missing} header Cache-Control max-age=31536000, immutable", [], 1, [f"{missing}: its 404 may be kept 31536000 s"]),
        ("/updates/latest.json header Content-Type text/html", [], 1, ['latest.json: Content-Type "text/html", not application/json']),
        # A front's setting that every stored file shows is told once, with the count and the first few.
        ("/updates/blobs/* header Content-Type text/plain", ["--all"], 1,
         [f'{len(files)} stored files: Content-Type "text/plain", not application/octet-stream'])]:
        (FAULT / "control.txt").write_text(rules + "\n")
        code, said = check_host("https://127.0.0.2", *args)
        lines = said.count("orvane-publish: ")
        check(code == status and lines == len(problems) - (not status) and all(p in said for p in problems),
              f"{rules or 'a right front'}: exit {code}, {lines} problems: {said}")
    code, said = publisher("check", "--url", "https://localhost")  # without --ca-file: the system's authorities
    check(code == 1 and said.count("orvane-publish: ") == 1 and "https://localhost: its certificate is not trusted" in said,
          f"an untrusted certificate is named as such: {said}")
    for args in (["http://localhost"], ["https://localhost/updates"], ["https://localhost", "--sample", "0"],
                 ["https://localhost", "--all", "--sample", "2"]):
        check(publisher("check", "--url", *args)[0] == 2, f"a usage error: {args}")
    # Only the manifests and stored files are served: no other file, nothing through a link.
    (WWW / "updates/.git").mkdir()
    for name in ("notes.html", ".git/config"):
        (WWW / "updates" / name).write_text("team notes")
    for name in ("passwd", "blobs/" + "e" * 64):
        (WWW / "updates" / name).symlink_to("/etc/passwd")
    modified = email.utils.formatdate((WWW / "updates/latest.json").stat().st_mtime, usegmt=True)
    for path, args, answer in [("/updates/notes.html", [], " 404 "), ("/updates/.git/config", [], " 404 "),
                               ("/updates/passwd", [], " 404 "), ("/updates/blobs/" + "e" * 64, [], " 404 "),
                               ("/publish-history.db", [], " 404 "), ("/updates/latest.json", ["-6"], " 200 "),
                               ("/updates/latest.json", ["-H", f"If-Modified-Since: {modified}"], " 200 "),
                               ("/updates/latest.json", [], "\nServer: nginx\n")]:
        check(answer in head(path, *args), f"{path} {args}: {answer.strip()}")
    served_under_umask_077(folder)
    for args, wanted in [("-tls1_2 -cipher AES128-SHA", ""), ("-tls1_2 -cipher ECDHE-RSA-AES128-SHA", ""),
                         ("-tls1_2 -cipher AES128-GCM-SHA256", ""), ("-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", "TLSv1.2"),
                         ("-tls1_3", "TLSv1.3"), ("-tls1_2 -no_ticket -reconnect", "Reused, TLSv1.2")]:
        tls = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:443", "-servername", "localhost", *args.split()],
                             stdin=subprocess.DEVNULL, capture_output=True, encoding="utf-8")
        check(wanted in tls.stdout if wanted else tls.returncode != 0, f"TLS {args}: {wanted or 'refused'}")


def served_under_umask_077(folder):
    # Published and pushed by a team whose umask is 077, the tree is served by an nginx whose workers are not
    # root (as Debian's run): on 127.0.0.7 the pushed copy, on 127.0.0.8 the served folder itself.
    root = Path(tempfile.mkdtemp(prefix="orvane-umask-"))
    root.chmod(0o755)  # what mkdtemp makes 0700 is the test's own folder, not what is under test
    try:
        build = root / "build"
        for path, data in GAME.items():
            (build / path).parent.mkdir(parents=True, exist_ok=True)
            (build / path).write_bytes(data)
        steps = [("publish", "--build", str(build), "--version", "1.0", "--served", str(root / "served")),
                 ("push", "--served", str(root / "served"), "--to", str(root / "origin"))]
        check(all(publisher(*step, umask=0o077)[0] == 0 for step in steps), "published and pushed under umask 077")
        site = (STATE / "orvane-updates.conf").read_text(encoding="utf-8").replace("listen [::1]:443 ssl;", "")
        sites = [site.replace("127.0.0.1:443", f"127.0.0.{n}:443").replace(f"root {WWW};", f"root {root / tree};")
                 for n, tree in ((7, "origin"), (8, "served"))]
        (root / "nginx.conf").write_text(f"user nobody nogroup; pid {root}/nginx.pid; error_log {root}/error.log;\n"
                                         "events {} http { types { application/json json; } access_log off;\n" +
                                         "".join(sites) + "}\n")
        nginx = subprocess.Popen(["nginx", "-p", root, "-c", root / "nginx.conf", "-g", "daemon off;"])
        blob_url = blob(GAME["Orvane.exe"])
        for n, path in ((7, "/updates/latest.json"), (7, blob_url), (8, "/updates/full.json"), (8, blob_url)):
            code = lambda: head(path, "--resolve", f"localhost:443:127.0.0.{n}").split(" ")[1:2]
            check(eventually(lambda: code() == ["200"]), f"127.0.0.{n}{path}: 200")
    finally:
        if "nginx" in locals():
            nginx.terminate()  # its workers stop with it
            nginx.wait(timeout=30)
        shutil.rmtree(root)


def edge(folder):
    # Through the caching edge: an installation cut and resumed in a file the edge holds and in one it does
    # not, a publish that reaches the launcher within the manifests' cache time, and twenty downloaders at
    # once on one file the edge has not seen. The origin must be asked for each slice of a file once.
    paks = {"Content/Paks/A-cached.pak": os.urandom(64 << 20), "Content/Paks/B-uncached.pak": os.urandom(64 << 20)}
    files = publish(GAME | paks)
    cached, uncached = (blob(data) for data in paks.values())
    subprocess.run(["curl", "-s", "--cacert", CA, "-o", "/dev/null", f"https://localhost{cached}"], check=True)
    LOG.write_text("")
    ORIGIN_LOG.write_text("")
    for number, past in ((1, 10), (2, 60)):  # percent of all bytes: into the first, into the second file
        run(folder, f"Скачиваю файл {number} из 6: {Path(list(paks)[number - 1]).name}", past, kill=True)
        marker = (folder / PENDING).read_bytes() if (folder / PENDING).exists() else None
        check(marker == (b"1.0\n" if number == 2 else None), f"marked as pending once the first file is in place: {marker}")
    run(folder, INSTALLED)
    check(all((folder / p).read_bytes() == data for p, data in files.items()), "every file holds its published bytes")
    for url in (cached, uncached):
        asked = [r for path, r in requests() if path == url]
        check(len(asked) == 2 and asked[0] == "-" and asked[1].startswith("bytes="), f"resumed: {asked}")
    slices = lambda url: sorted(r for path, r in requests(ORIGIN_LOG) if path == url)
    eight = sorted(f"bytes={i << 23}-{((i + 1) << 23) - 1}" for i in range(8))
    check(slices(cached) == [] and slices(uncached) == eight, f"the origin was asked for each slice once: {slices(uncached)}")
    files["Content/Карты/гавань.umap"] += b"1.1"
    head("/updates/latest.json")  # the edge holds 1.0 for its cache time from now
    publish(files, "1.1")
    code, said = check_host("https://localhost", "--wait", "4")  # 2 s, counted in whole seconds: under 4
    check(code == 0, f"check --served --wait: the edge serves 1.1 within its cache time: {said}")
    run(folder, "Обновление 1.1 установлено и проверено. Можно играть.")
    data = os.urandom(64 << 20)
    (WWW / blob(data)[1:]).write_bytes(data)
    ORIGIN_LOG.write_text("")
    tool = BUILD / "bench" / "bench_download.exe"
    temporary = [folder.parent / f"{i}.download" for i in range(20)]
    many = [wine(tool, "ours", blob(data), "Z:" + str(t).replace("/", "\\"), str(len(data)), stdout=subprocess.DEVNULL)
            for t in temporary]
    check([d.wait(timeout=240) for d in many] == [0] * 20 and all(t.read_bytes() == data for t in temporary),
          "twenty downloads through the edge at once, each whole")
    check(slices(blob(data)) == eight, f"one origin fetch of each slice: {slices(blob(data))}")


def signed_release(folder):
    # The signed release build (a trial for localhost, with a manifest key and a floor taken from a history
    # published when it was built) refuses a build signed on a clock ten years behind, below the floor, on
    # a first installation; installs a version the publisher signed; then refuses the next one once a hand
    # has changed its manifest in the served folder.
    publish(GAME, clock="-3650d")
    run(folder, "Сервер версий вернул неправильный файл. Установленная игра не изменена.")
    log = (folder / "launcher-update.log").read_text(encoding="utf-8")
    check("the lowest this launcher accepts." in log and not (folder / "Orvane.exe").exists(), "below the floor: nothing installed")
    shutil.rmtree(WWW)
    files = publish(GAME)
    run(folder, INSTALLED)
    check(all((folder / p).read_bytes() == data for p, data in files.items()), "every file holds its published bytes")
    backup = STATE / "served-backup"
    shutil.rmtree(backup, ignore_errors=True)
    shutil.copytree(WWW, backup)
    publish(files | {"Orvane.exe": b"MZ not the team's"}, "1.1")
    key = ("--public-key", os.environ["ORVANE_SIGNING_KEY"] + ".pub")
    check(check_host("https://localhost", *key)[0] == 0, "check finds both manifests signed")
    code, said = publisher("check", "--url", "https://localhost", "--ca-file", str(CA), "--served", str(backup))
    check(code == 1 and "the newest the history in" in said and "restored from a backup?" in said,
          f"check names a live serial that a restored history lacks: {said}")
    manifest = WWW / "updates" / "latest.json"
    manifest.write_text(manifest.read_text(encoding="utf-8").replace('"mandatory": false', '"mandatory": true'))
    code, said = check_host("https://localhost", *key)
    check(code == 1 and "latest.json: its signature does not verify" in said, f"check names the changed manifest: {said}")
    LOG.write_text("")
    run(folder, "Сервер версий вернул неправильный файл. Установленная игра не изменена.")
    check(all((folder / p).read_bytes() == data for p, data in files.items()), "the installed files are kept")
    check(requests() == [["/updates/latest.json", "-"]], "nothing fetched but the manifest")


SUCCESS = re.compile(r"(?:Обновление|Orvane|Версия) (\S+) (?:установлено и проверено|установлен и проверен|актуальна)\. "
                     r"Можно играть\.")
version_of = lambda status: (SUCCESS.fullmatch(status) or [None, None])[1]  # the version a success names, or None
OWN = {EXE, "launcher-version.txt", "launcher-update.log", "launcher-manifest-serial.txt", PENDING}


def session(folder, kill_after=0, kill_at=101):
    # Starts the launcher and kills it after kill_after seconds, or once its bar passes kill_at percent while it
    # downloads, or else once its verdict enables play (the session has then ended). The last state shown.
    launcher, state, deadline = wine(folder / EXE, cwd=folder.parent), ["0", "disabled", ""], time.time() + 60
    time.sleep(kill_after)
    end = lambda s: s[1] == "enabled" or s[2].startswith("Скачиваю файл ") and int(s[0]) >= kill_at
    # A watch may find the window of the launcher killed just before, and end with it: then it watches again.
    while not kill_after and not end(state) and time.time() < deadline:
        watch = wine(PROBE, "watch", "60", stdout=subprocess.PIPE, encoding="utf-8")
        state = next((s for s in (line.rstrip("\n").split("|", 2) for line in watch.stdout) if end(s)), state)
        watch.kill()
    launcher.kill()
    launcher.wait()
    return state


def game_files(folder):
    # Every file under a real name (not the launcher's own, not a temporary download): path -> bytes.
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*")
            if p.is_file() and p.relative_to(folder).as_posix() not in OWN and not p.name.endswith(".download")}


def chaos(folder):
    # A dozen random builds (files added, changed and removed, nested folders, files of some MiB) and 22 rounds,
    # each a session to its verdict or one killed at a random moment, over a link that is sometimes slow and
    # sometimes cuts every connection at a random byte; some rounds serve an older version's manifests again (a
    # build taken back, an edge that still has it). After every round no real name holds bytes never published
    # for it, and a verdict holds. ORVANE_CHAOS_SEED replays the builds and the plan (not the machine's timing).
    seed = int(os.environ.get("ORVANE_CHAOS_SEED") or random.randrange(1 << 32))
    print(f"chaos seed {seed}", flush=True)
    rng, started, files = random.Random(seed), time.time(), {}
    size = lambda: rng.choice([700, 20000, 90000, 300000, 1 << 20, 3 << 20])
    places = ["Content/Paks", "Content/Paks", "Content/Карты/a", "Content/Карты/b", "Content/Movies/Intro/4k", "Engine"]
    builds = [{"Orvane.exe": rng.randbytes(3000), "Engine/empty.dat": b""} |
              {f"{place}/f{i}.pak": rng.randbytes(size()) for i, place in enumerate(places)}]
    for number in range(1, 12):
        build = dict(builds[-1])
        rest = sorted(set(build) - {"Orvane.exe", "Engine/empty.dat"})
        changed = rng.sample(rest + ["Orvane.exe"], min(len(rest), rng.randint(1, 3)))
        build |= {path: rng.randbytes(size()) for path in changed}
        for path in rng.sample(rest, max(0, min(len(rest) - 2, rng.randint(0, 2)))):
            del build[path]
        added = {f"{rng.choice(places)}/n{number}-{i}.bin": rng.randbytes(size()) for i in range(rng.randint(0, 2))}
        builds.append(build | added)
    manifests = []  # of each version published: latest.json and full.json

    def serve_version(index):
        for name, text in zip(("latest.json", "full.json"), manifests[index]):
            (WWW / "updates" / name).write_bytes(text)

    # nginx serves the site on 127.0.0.3 alone, and the link emulator stands at its addresses for the launcher.
    control, link = STATE / "chaos-link.txt", Path(__file__).parent.parent / "servers" / "link_emulator.py"
    control.write_text("")
    (STATE / "site.conf").write_text(f"include {STATE / 'origin-behind-edge.conf'};\n")
    subprocess.run(["nginx", "-p", STATE, "-c", STATE / "nginx.conf", "-s", "reload"], check=True, stderr=subprocess.DEVNULL)
    check(eventually(lambda: head("/updates/") == ""), "nginx left 127.0.0.1 to the link")
    STARTED.extend(subprocess.Popen(["python3", link, address, "443", "127.0.0.3", "443", control, STATE / "chaos-link.log"])
                   for address in ("127.0.0.1", "::1"))
    check(eventually(lambda: " 404 " in head("/updates/")), "the link passes requests to the site")
    actions, kills, pending = ["next"] * 11 + ["back"] * 4 + ["same"] * 6, 0, 0
    rng.shuffle(actions)
    for number, action in enumerate(["next"] + actions, 0):
        if action == "next":
            if manifests:
                serve_version(-1)  # what the publisher served last
            publish(builds[len(manifests)], f"{len(manifests) + 1}.0")
            manifests.append(tuple((WWW / "updates" / name).read_bytes() for name in ("latest.json", "full.json")))
        action = "same" if action == "back" and len(manifests) == 1 else action
        served = rng.randrange(len(manifests) - 1) if action == "back" else len(manifests) - 1
        serve_version(served)
        rate = rng.choice([0, 12, 24])  # Mbit/s; 0: as fast as it goes
        rules = [f"link rate {rate}"] * bool(rate) + [f"link reset {rng.randint(2 << 20, 6 << 20)}"] * (rng.random() < 0.25)
        control.write_text("".join(rule + "\n" for rule in rules))
        # A quarter of the sessions is killed at any moment up to a little past the time the bytes it lacks would
        # take, a quarter once the bar passes a random percent while it downloads.
        lacking = sum(len(data) for path, data in builds[served].items() if files.get(path) != data)
        way, seconds = rng.random(), 0.6 + lacking / (rate * 125000 if rate else 30e6)
        kill_after = round(rng.uniform(0.3, 1.3 * seconds), 2) if way < 0.25 else 0
        kill_at = rng.randrange(100) if 0.25 <= way < 0.5 else 101
        round_started, label = time.time(), f"{served + 1}.0"
        percent, play, status = session(folder, kill_after, kill_at)
        files, marked, verdict = game_files(folder), (folder / PENDING).exists(), status if play == "enabled" else None
        kills, pending = kills + (not verdict), pending + (not verdict and marked)
        how = f"killed after {kill_after} s" if kill_after else f"killed downloading at {percent}%"
        print(f"round {number}: {action}, {label} served, {', '.join(rules) or 'a clean link'}: " +
              (verdict or how + ", marked pending" * marked) + f" ({time.time() - round_started:.1f} s)")
        strange = [p for p, data in files.items() if all(b.get(p) != data for b in builds[:len(manifests)])]
        check(not strange, f"round {number}: no real name holds bytes never published for it {strange}")
        if verdict or kill_at == 101 and not kill_after:
            # Nothing but the link's cuts stands in the way, and the download resumes through those.
            wrong = [p for p, data in builds[served].items() if files.get(p) != data]
            check(version_of(verdict or "") == label and not wrong and not marked and
                  (folder / "launcher-version.txt").read_bytes() == f"{label}\n".encode(),
                  f"round {number}: success, every file of {label} exactly there {wrong}, no longer pending")
    control.write_text("")
    serve_version(-1)
    verdict = version_of(session(folder)[2])
    debris = [p for p in folder.rglob("*.download") if p.relative_to(folder).as_posix()[:-9] not in builds[-1]]
    check(verdict == "12.0" and game_files(folder) == builds[-1] and not debris,
          f"a clean session leaves exactly 12.0, and no download beside a file it lacks {debris}")
    print(f"chaos seed {seed}: {len(actions) + 1} rounds and a clean session, {kills} killed ({pending} between the first "
          f"change and the version file), {time.time() - started:.0f} s")


(BUILD / "e2e-screenshots").mkdir(exist_ok=True)
shutil.rmtree(WWW, ignore_errors=True)  # each case publishes its own history from 1.0
serve(CASE == "edge")
with tempfile.TemporaryDirectory(prefix="orvane-e2e-", ignore_cleanup_errors=True) as root:
    game_folder = Path(root) / "Мои игры" / "Orvane"
    game_folder.mkdir(parents=True)
    shutil.copy(os.environ.get("ORVANE_LAUNCHER_EXE", BUILD / EXE), game_folder / EXE)
    try:
        globals()[CASE](game_folder)
    finally:
        for process in STARTED:
            process.kill()
            process.wait()
