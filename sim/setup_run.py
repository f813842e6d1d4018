#!/usr/bin/env python3
"""Runs the real Corvane Setup in a real X window against a simulated macOS and local servers.

One run lays out a simulated macOS root (home folder, empty or populated /Applications), builds a
test disk image, serves it over HTTPS with nginx (or with a small fault server of ours), starts
the reference telemetry collector, copies the built bundle into the simulated home with a
vctrl.dat that points at the collector, starts the setup and clicks through its window with
xdotool like a person. It then checks the outcome on disk and at the collector, prints a
summary and stops everything it started.

  setup_run.py --build BUILD_DIR --scenario NAME [--work DIR] [--show] [--keep]
               [--collector-args ARGS] [--time-limit SECONDS]

Every wait is for an event (a window, a log line, a milestone, the end of the program), never
for a fixed time that stands for one: a loaded machine only makes the run slower. The run as a
whole has one time limit, and every process it starts dies with the driver, however the driver
ends (killed at a test's time limit too).

Scenarios: demo, fresh, overwrite, agreement, running, drop-retry, close-during,
quit-during-install. Exit status 0 only when every check of the scenario holds.
sim/a11y_check.py adds the accessibility scenario (a11y) on top of this driver.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
SIM = SOURCE_DIR / "sim"
WINDOW_TITLE = "Corvane安装程序"
PACKAGE_PATH = "/velodoc/corvanereader_x86_64.dmg"
ARM_PACKAGE_PATH = "/velodoc/corvanereader_arm64.dmg"

# Where a person clicks, in window (client area) coordinates. The window is 680 wide; the
# introduction screen's picture region is 300 high with the install button centred below it.
CLICK = {
    "install": (340, 310),         # "开始安装"
    "agreement": (28, 408),        # the agreement check box
    "agreement_fill": (23, 403),   # inside the box, off the tick mark
    "user_agreement": (192, 408),  # the link "《用户协议》" beside the agreement box
    "privacy_notice": (285, 408),  # the link "《隐私说明》"
    "set_default": (28, 464),      # the options drawer's default-reader box
    "set_default_fill": (23, 459),
    "prompt_agree": (437, 269),    # the agreement prompt's "agree-btn"
    "retry": (413, 374),           # "重试" on the download-failed screen
    "reinstall": (419, 368),       # "重新安装" on the install-failed screen
}
# Where the agreement links lead (the toolkit hands them to `xdg-open`, the sim's `open`).
AGREEMENT_PAGES = ("https://www.corvane.com/privacy/viewerappLicense.html",
                   "https://www.corvane.com/privacy/viewerappprivace.html")
# The exit panel is a window of its own, 304 x 236; "确认" is painted at (20, 40, 110, 48) with
# the origin at the panel's bottom left.
PANEL_SIZE = (304, 236)
PANEL_CONFIRM = (20 + 55, 236 - 40 - 24)
# How far the bottom edge may seem to move when the window is resized: the window manager
# places the frame, and its decorations may round a move by a pixel.
BOTTOM_EDGE_TOLERANCE = 2


# The Mac user every program that plays the user runs as (the setup, the Corvane it opens, an old
# reader): a Mac's first account, uid 501 in group staff (20); an administrator is also in group
# admin (80), a standard account is not. Root only sets the scene and runs the servers.
MAC_UID, MAC_GID = 501, 20
ADMIN_GROUPS, STANDARD_GROUPS = (20, 80), (20,)


class Failure(Exception):
    pass


def tied(cmd, user=()):
    """`cmd` so that it gets SIGKILL when the driver ends, even when the driver is killed (the
    tie is to the driver's main thread, which starts every process); run as `user` (setpriv's
    id arguments, see Run.app_user) when given. The ids change first: a change of credentials
    clears the parent-death signal."""
    bound = ["setpriv", "--pdeathsig", "KILL", "--", *map(str, cmd)]
    return ["setpriv", *user, "--", *bound] if user else bound


def as_user(cmd, groups=ADMIN_GROUPS):
    """`cmd` run as the Mac user. The ids change first: a change of credentials clears the
    parent-death signal, so a `tied` command is tied after it."""
    return ["setpriv", "--reuid", str(MAC_UID), "--regid", str(MAC_GID),
            "--groups", ",".join(map(str, groups)), "--", *map(str, cmd)]


def give_to_user(path):
    """Makes `path` (and everything in it) the Mac user's, as what a user made or downloaded is."""
    subprocess.run(["chown", "-R", f"{MAC_UID}:{MAC_GID}", str(path)], check=True)


def start_guard(folder):
    """A watcher that, when the driver dies without saying "done" (killed at a test's time
    limit), kills every process whose command line names `folder`: what the setup under test
    started detached (the opened Corvane, its service) is no child of the driver. It waits on a
    pipe only the driver holds."""
    pattern = "".join("\\" + c if c in ".[]()*+?{}|^$\\" else c for c in f"{folder}/")
    return subprocess.Popen(["bash", "-c",
                             'read -r said; [ "$said" = done ] || pkill -KILL -f -- "$GUARDED"'],
                            stdin=subprocess.PIPE, env={**os.environ, "GUARDED": pattern},
                            start_new_session=True)


def start_xvfb(procs, extra=()):
    """Starts a private Xvfb (1440 x 900) on a free display, adds it to `procs` to be stopped
    later, and returns the display name (":N")."""
    r, w = os.pipe()
    p = subprocess.Popen(tied(["Xvfb", "-displayfd", str(w), "-screen", "0", "1440x900x24", *extra,
                               "-nolisten", "tcp"]), pass_fds=(w,), stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(w)
    procs.append(("Xvfb", p))
    # Xvfb writes the display number once it accepts clients, or ends (end of file) when it fails.
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            break
        number += chunk
    os.close(r)
    if not number.strip():
        raise Failure("Xvfb did not start")
    return ":" + number.decode().strip()


class Run:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build).resolve()
        self.keep = args.keep
        self.work = Path(args.work or tempfile.mkdtemp(prefix="corvane-e2e-")).resolve()
        self.work.mkdir(parents=True, exist_ok=True)
        # The user must reach the simulated Mac and the test CA inside it (mkdtemp makes it 0700).
        self.work.chmod(0o755)
        self.groups = ADMIN_GROUPS
        self.expected_consents = 0  # requests the security server may see in this scenario
        self.procs = []  # (name, Popen) to stop at the end
        self.nginx_work = None
        self.fault_stats = None
        self.checks = []  # (ok, text)
        self.screenshots = []
        self.env = {}
        self.summary = {}
        self.deadline = time.monotonic() + (getattr(args, "time_limit", None) or 600)
        self.guard = start_guard(self.work)

    # ---- small helpers ----
    def log(self, text):
        print(f"[setup_run] {text}", flush=True)

    def check(self, ok, text):
        self.checks.append((bool(ok), text))
        self.log(("ok   " if ok else "FAIL ") + text)
        return ok

    def remaining(self, timeout=None):
        """Seconds left for a wait: until the run's time limit, or `timeout` if that is sooner."""
        left = max(0.0, self.deadline - time.monotonic())
        return left if timeout is None else min(left, timeout)

    def until(self, done, what, timeout=None, every=0.1):
        """Polls `done()` until it returns something true, and returns that; raises Failure
        naming `what` at the time limit."""
        deadline = time.monotonic() + self.remaining(timeout)
        while True:
            got = done()
            if got:
                return got
            if time.monotonic() >= deadline:
                raise Failure(f"gave up waiting for {what}")
            time.sleep(every)

    def wait_for(self, done, timeout):
        """Like until(), but answers whether `done()` came true instead of raising."""
        try:
            return bool(self.until(done, "", timeout=timeout))
        except Failure:
            return False

    def run(self, cmd, env=None, check=True, timeout=120):
        r = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise Failure(f"{' '.join(map(str, cmd))} failed ({r.returncode}): {r.stderr.strip()}")
        return r

    @property
    def app_user(self):
        """setpriv's arguments for the Mac user the setup runs as (and whatever must share its
        uid, such as its session bus)."""
        return ["--reuid", str(MAC_UID), "--regid", str(MAC_GID),
                "--groups", ",".join(map(str, self.groups))]

    def grant(self, *paths):
        """Makes `paths` (recursively) the Mac user's, as what a user made or downloaded is."""
        for p in paths:
            give_to_user(p)

    # ---- the simulated Mac ----
    def make_root(self):
        self.root = self.work / "root"
        out = self.run(["bash", str(SIM / "make-root.sh"), str(self.root), "--plain"]).stdout
        for line in out.splitlines():
            name, _, value = line.partition("=")
            self.env[name] = value
        self.home = Path(self.env["HOME"])
        self.app = self.root / "Applications" / "Corvane.app"

    def install_old_app(self, owner="user"):
        """The old app, the user's own (he installed it), or root's (an installer package, an MDM
        tool or another account left it)."""
        self.run(["bash", str(SIM / "make-app.sh"), str(self.app), "--version", "1.0.0"])
        if owner == "user":
            give_to_user(self.app)

    def start_authorization_service(self, answer=None):
        """The simulated security server, as root; `answer` is what the administrator says
        ("allow", "deny", "cancel"; None: nobody answers, which is a cancel)."""
        p = subprocess.Popen(tied(["/usr/bin/python3", SIM / "authorization-service", self.root]),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             start_new_session=True)
        self.procs.append(("authorization-service", p))
        if p.stdout.readline().strip() != "ready":
            raise Failure("sim/authorization-service did not start")
        self.answer_consent(answer)

    def answer_consent(self, answer):
        path = self.root / "private" / "var" / "run" / "authorization-answer"
        if answer:
            path.write_text(answer + "\n")
        elif path.exists():
            path.unlink()

    def consent_requests(self):
        path = self.root / "private" / "var" / "log" / "authorization.log"
        return [json.loads(l) for l in path.read_text().splitlines()] if path.exists() else []

    def start_old_reader(self):
        exe = self.app / "Contents" / "MacOS" / "viewerapp"
        p = subprocess.Popen(as_user(tied([exe])), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        self.procs.append(("old viewerapp", p))

    def make_image(self):
        self.docroot = self.work / "docroot"
        image = self.docroot / PACKAGE_PATH.lstrip("/")
        image.parent.mkdir(parents=True, exist_ok=True)
        self.run(["bash", str(SIM / "make-image.sh"), str(image), "--payload-mb", "2"])
        arm = self.docroot / ARM_PACKAGE_PATH.lstrip("/")
        if not arm.exists():
            os.link(image, arm)
        self.image = image

    def start_nginx(self):
        """nginx in the foreground as one process (serve.sh run), which names its address once
        it listens and ends when the driver does."""
        self.nginx_work = self.work / "nginx"
        p = subprocess.Popen(tied(["bash", SIM / "nginx" / "serve.sh", "run", self.nginx_work,
                                   self.docroot]), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             text=True, start_new_session=True)
        self.procs.append(("nginx", p))
        info = {}
        for line in p.stdout:
            name, _, value = line.strip().partition("=")
            info[name] = value
            if name == "CA":
                break
        if "CA" not in info:
            raise Failure("nginx did not start (sim/nginx/serve.sh run)")
        self.package_base = info["BASE"]
        self.ca = info["CA"]

    def start_fault_server(self, drops=0, rate=0):
        """sim/fault_server.py on loopback: the first `drops` responses close the connection
        part-way (evenly spread over the image), later ones succeed; with `rate` (bytes a
        second) every response is sent that slowly."""
        self.fault_stats = self.work / "fault-server.stats"
        faults = ["--drop-at", ",".join(str((i + 1) / (drops + 1)) for i in range(drops))] if drops else []
        faults += ["--rate", rate] if rate else []
        p = subprocess.Popen(tied([sys.executable, SIM / "fault_server.py",
                                   "--cert", self.nginx_work / "server.crt",
                                   "--key", self.nginx_work / "server.key", "--file", self.image,
                                   "--stats", self.fault_stats, *faults]),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             start_new_session=True)
        self.procs.append(("fault server", p))
        line = p.stdout.readline().strip()
        if not line.startswith("PORT="):
            raise Failure(f"sim/fault_server.py did not start: {line!r}")
        self.package_base = f"https://127.0.0.1:{line[5:]}"

    def fault_served(self):
        """The fault server's requests, bytes sent and statuses so far."""
        fields = dict(f.split("=", 1) for f in self.fault_stats.read_text().split("\n", 1)[0].split())
        return int(fields["requests"]), int(fields["bytes"]), [int(x) for x in fields["statuses"].split(",") if x]

    def start_collector(self):
        exe = self.build / "tools" / "collector" / "tally-collector"
        self.db = self.work / "tally.db"
        extra = shlex.split(getattr(self.args, "collector_args", None) or "")
        p = subprocess.Popen(tied([exe, "--port", "0", "--vfmt", SOURCE_DIR / "resources" / "vfmt.dat",
                                   "--db", self.db, *extra]),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             start_new_session=True)
        self.procs.append(("tally-collector", p))
        line = p.stdout.readline()
        port = None
        for word in line.replace(":", " ").split():
            if word.isdigit():
                port = int(word)
        if not port:
            raise Failure(f"tally-collector did not say its port: {line!r}")
        # Keep draining its output so it never blocks on a full pipe.
        threading.Thread(target=lambda: [None for _ in p.stdout], daemon=True).start()
        self.collector_port = port
        self.collector_url = f"http://127.0.0.1:{port}"

    def stage_bundle(self):
        bundles = sorted(self.build.glob("src/ui/*.app")) or sorted(self.build.glob("*.app"))
        if not bundles:
            raise Failure(f"no .app bundle under {self.build}")
        src = bundles[0]
        self.bundle = self.home / "Downloads" / src.name
        self.bundle.parent.mkdir(parents=True, exist_ok=True)
        shutil.copytree(src, self.bundle, symlinks=True)
        give_to_user(self.bundle.parent)
        vctrl = self.bundle / "Contents" / "Resources" / "vctrl.dat"
        lines = vctrl.read_text().splitlines()
        out = []
        for line in lines:
            key = line.split("=", 1)[0]
            if key.startswith("server") and key[6:].isdigit():
                line = f"{key}={self.collector_url}/tally"
            out.append(line)
        vctrl.write_text("\n".join(out) + "\n")
        exes = [p for p in (self.bundle / "Contents" / "MacOS").iterdir() if os.access(p, os.X_OK)]
        if not exes:
            raise Failure("the bundle has no executable")
        self.exe = exes[0]

    # ---- the display ----
    def start_display(self):
        if os.environ.get("DISPLAY") and self.args.show:
            self.display = os.environ["DISPLAY"]
            return
        self.display = start_xvfb(self.procs)
        # A window manager, so closing a window goes the way a person's click on its close button
        # goes: the manager asks the program to close (WM_DELETE_WINDOW).
        env = {**os.environ, "DISPLAY": self.display}
        wm_log = self.work / "openbox.log"
        with open(wm_log, "wb") as out:
            wm = subprocess.Popen(tied(["openbox", "--sm-disable"]), env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append(("openbox", wm))

        # The manager is up once it has set _NET_SUPPORTING_WM_CHECK on the root window, which
        # `wmctrl -m` reads; however long a loaded machine takes to get there.
        def managing():
            if wm.poll() is not None:
                said = wm_log.read_text(errors="replace").strip()[-400:]
                raise Failure(f"the window manager exited with {wm.returncode} on {self.display}: {said}")
            return subprocess.run(["wmctrl", "-m"], env=env, capture_output=True).returncode == 0

        self.until(managing, "the window manager")

    def xdo(self, *args, check=True):
        return self.run(["xdotool", *map(str, args)], env={**os.environ, "DISPLAY": self.display},
                        check=check, timeout=30)

    def screenshot(self, name):
        path = self.work / "screenshots" / f"{len(self.screenshots):02d}-{name}.png"
        path.parent.mkdir(exist_ok=True)
        r = self.run(["import", "-window", "root", str(path)],
                     env={**os.environ, "DISPLAY": self.display}, check=False)
        if r.returncode == 0:
            self.screenshots.append(path)

    # ---- the setup program ----
    def start_setup(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QT_")}
        env.update(self.env)
        env.update({
            "DISPLAY": self.display,
            "QT_QPA_PLATFORM": "xcb",
            "CORVANE_PACKAGE_BASE": self.package_base,
            "CORVANE_CA_BUNDLE": self.ca,
            "LANG": "C.UTF-8",
        })
        self.setup_log = open(self.work / "setup.log", "w")
        self.setup = subprocess.Popen(as_user(tied([self.exe]), self.groups), env=env,
                                      cwd=str(self.home),
                                      stdin=subprocess.DEVNULL, stdout=self.setup_log,
                                      stderr=subprocess.STDOUT, start_new_session=True)
        self.procs.append(("setup", self.setup))

        def shown():
            if self.setup.poll() is not None:
                raise Failure(f"the setup exited at start with {self.setup.returncode}")
            ids = self.xdo("search", "--onlyvisible", "--name", WINDOW_TITLE, check=False).stdout
            return ids.split()[0] if ids.split() else None

        self.window = self.until(shown, "the setup window", every=0.2)
        # Its first frame: the agreement box is drawn (white, or blue once ticked), not black.
        self.until(lambda: self.window_origin() and self.pixel(*CLICK["agreement_fill"]) != (0, 0, 0),
                   "the setup window's first frame", every=0.2)

    def geometry(self, wid):
        """(x, y, width, height) of a window's client area on the screen. xwininfo's absolute
        position is right under a reparenting window manager, where xdotool's is not."""
        out = self.run(["xwininfo", "-id", str(wid)], env={**os.environ, "DISPLAY": self.display},
                       check=False).stdout
        info = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            info[key] = value.strip()
        try:
            return (int(info["Absolute upper-left X"]), int(info["Absolute upper-left Y"]),
                    int(info["Width"]), int(info["Height"]))
        except (KeyError, ValueError):
            return None

    def window_origin(self):
        geo = self.geometry(self.window)
        return geo[:2] if geo else None

    def click(self, x, y):
        origin = self.window_origin()
        if not origin:
            raise Failure("the setup window is gone")
        ox, oy = origin
        self.xdo("mousemove", "--sync", ox + x, oy + y)
        self.xdo("click", "1")
        time.sleep(0.4)

    def windows(self):
        """The setup's visible windows as (id, x, y, width, height)."""
        r = self.xdo("search", "--onlyvisible", "--name", WINDOW_TITLE, check=False)
        found = []
        for wid in r.stdout.split():
            geo = self.geometry(wid)
            if geo:
                found.append((wid, *geo))
        return found

    def wait_window(self, size, timeout=None):
        deadline = time.monotonic() + self.remaining(timeout)
        while time.monotonic() < deadline:
            for w in self.windows():
                if (w[3], w[4]) == size:
                    return w
            time.sleep(0.2)
        return None

    def packages_served(self):
        log = self.nginx_work / "access.log"
        served = log.read_text().count("/velodoc/") if log.exists() else 0
        if self.fault_stats:
            served += self.fault_served()[0]
        return served

    def pixel(self, x, y):
        """The (red, green, blue) of a point of the window's client area, 0 to 255 each."""
        if not self.window_origin():
            return (0, 0, 0)
        ox, oy = self.window_origin()
        out = self.run(["import", "-window", "root", "-crop", f"1x1+{ox + x}+{oy + y}", "-depth", "8",
                        "txt:-"], env={**os.environ, "DISPLAY": self.display}, check=False).stdout
        for line in out.splitlines():
            if line.startswith("0,0:") and "(" in line:
                values = line.split("(", 1)[1].split(")", 1)[0].split(",")
                return tuple(int(float(v)) for v in values[:3])
        return (0, 0, 0)

    def ticked(self, box="agreement"):
        # A ticked box is filled with the accent blue; an unticked one is white inside.
        r, g, b = self.pixel(*CLICK[box + "_fill"])
        return b > 150 and b - r > 60

    def press_and_drag(self, x, y):
        """A held press that moves a few pixels inside a control before it lets go."""
        ox, oy = self.window_origin() or (0, 0)
        self.xdo("mousemove", "--sync", ox + x, oy + y)
        self.xdo("mousedown", "1")
        for step in range(1, 5):
            self.xdo("mousemove", "--sync", ox + x + 2 * step, oy + y + step)
            time.sleep(0.1)
        time.sleep(0.5)
        self.xdo("mouseup", "1")
        time.sleep(0.4)

    def opened(self):
        """What the setup handed to `open` so far, one entry each."""
        log = self.work / "opened.log"
        return log.read_text().splitlines() if log.exists() else []

    def close_window(self):
        """The close button of the title bar: the window manager asks the program to close."""
        self.run(["wmctrl", "-i", "-c", self.window], env={**os.environ, "DISPLAY": self.display},
                 check=False)
        time.sleep(0.5)

    def log_lines(self):
        self.setup_log.flush()
        return (self.work / "setup.log").read_text(errors="replace").splitlines()

    def count_log(self, prefix):
        return sum(1 for line in self.log_lines() if line.startswith(prefix))

    def wait_log(self, prefix, count=1, timeout=None):
        """Waits until the setup has printed `count` lines starting with `prefix`."""
        deadline = time.monotonic() + self.remaining(timeout)
        while time.monotonic() < deadline:
            if self.count_log(prefix) >= count:
                return True
            if self.setup.poll() is not None:
                return self.count_log(prefix) >= count
            time.sleep(0.2)
        return False

    def click_until_logged(self, where, prefix, timeout=None):
        """Clicks a control until the setup logs what the control starts. The screen behind it may
        still be on its way (the install line's ten-second wait), so one click may land early; a
        slow machine gets longer to answer each further click."""
        before = self.count_log(prefix)
        deadline = time.monotonic() + self.remaining(timeout)
        answer = 2
        while time.monotonic() < deadline:
            self.click(*where)
            if self.wait_log(prefix, before + 1, timeout=answer):
                return True
            answer = min(answer * 2, 30)
        return False

    def wait_exit(self, timeout=None):
        try:
            return self.setup.wait(timeout=self.remaining(timeout))
        except subprocess.TimeoutExpired:
            return None

    # ---- what is left afterwards ----
    def milestones(self):
        exe = self.build / "tools" / "collector" / "tally-collector"
        r = self.run([str(exe), "dump", "--db", str(self.db)], check=False)
        reasons = []
        for line in r.stdout.splitlines():
            try:
                batch = json.loads(line)
            except json.JSONDecodeError:
                continue
            for rec in batch.get("records", []):
                fields = rec.get("fields", {})
                if isinstance(fields, list):
                    fields = {f.get("name"): f.get("value") for f in fields}
                if "reason" in fields:
                    reasons.append(int(fields["reason"]))
        return reasons

    def settings(self):
        ini = self.home / "Library" / "Application Support" / "Corvane" / "reg" / "common.ini"
        values = {}
        if ini.exists():
            group = None
            for line in ini.read_text(errors="replace").splitlines():
                if line.startswith("[") and line.endswith("]"):
                    group = line[1:-1]
                elif "=" in line and group:
                    k, _, v = line.partition("=")
                    values[f"{group}/{k}"] = v
        return values

    def installed_version(self):
        plist = self.app / "Contents" / "Info.plist"
        if not plist.exists():
            return None
        text = plist.read_text()
        key = "<key>CFBundleShortVersionString</key>"
        if key not in text:
            return None
        rest = text.split(key, 1)[1]
        return rest.split("<string>", 1)[1].split("</string>", 1)[0]

    def wait_for_milestones(self, wanted, timeout=None):
        deadline = time.monotonic() + self.remaining(timeout)
        got = self.milestones()
        while time.monotonic() < deadline and not all(got.count(w) >= wanted.count(w) for w in set(wanted)):
            time.sleep(0.3)
            got = self.milestones()
        return got

    # ---- teardown ----
    def stop_all(self):
        for name, p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait()
        # Programs the setup started (Corvane opened at the end, its service) run detached.
        subprocess.run(["pkill", "-f", str(self.root / "Applications")], check=False)
        self.guard.communicate(b"done\n")
        if hasattr(self, "setup_log"):
            self.setup_log.close()


# ---- scenarios ----

def prepare(run, **scene):
    """Lays out the Mac (stage_scene's options) and starts the servers and the setup."""
    stage_scene(run, **scene)
    run.start_setup()
    run.screenshot("introduction")


def stage_scene(run, *, existing=False, running=False, drops=0, rate=0, env=None, standard=False,
                answer=None, old_owner="user"):
    """Lays out the Mac and starts the servers and the display, all but the setup. `standard`:
    the setup runs as a standard account (not in admin); `answer`: what the administrator answers
    when asked; `old_owner`: whose the old app is ("user" or "root")."""
    run.make_root()
    run.groups = STANDARD_GROUPS if standard else ADMIN_GROUPS
    run.start_authorization_service(answer)
    open_log = run.work / "opened.log"
    open_log.touch()
    give_to_user(open_log)
    run.env.update({"CORVANE_SIM_OPEN_LOG": str(open_log), **(env or {})})
    if existing:
        run.install_old_app(old_owner)
    if running:
        run.start_old_reader()
    run.make_image()
    run.start_nginx()
    if drops or rate:
        run.start_fault_server(drops=drops, rate=rate)
    run.start_collector()
    run.stage_bundle()
    run.start_display()


def accept_and_install(run, drag=False):
    # A click that lands while the window is still settling is lost, as a person's would be;
    # look at the box and press again, as a person would. Each further try gives a slow machine
    # longer to repaint, so a late repaint is not taken for a lost click (a second click would
    # untick the box).
    answer = 2
    for _ in range(5):
        run.click(*CLICK["agreement"])
        try:
            run.until(run.ticked, "the agreement box to be ticked", timeout=answer, every=0.2)
            break
        except Failure:
            answer *= 2
    run.check(run.ticked(), "the agreement box is ticked")
    run.screenshot("agreement-ticked")
    answer = 3
    for _ in range(5):
        (run.press_and_drag if drag else run.click)(*CLICK["install"])
        deadline = time.monotonic() + run.remaining(answer)
        while time.monotonic() < deadline:
            if run.count_log("fnDownload") or len(run.windows()) > 1:
                return
            time.sleep(0.2)
        answer *= 2


def expect_log_file(run):
    """The support log holds this run's lines, time-stamped, in the order they were printed."""
    path = run.home / "Library" / "Logs" / "Corvane" / "Setup.log"
    if not run.check(path.is_file(), f"{path} written"):
        return
    run.check(path.stat().st_mode & 0o777 == 0o600, "the log file is private (0600)")
    lines = path.read_text(errors="replace").splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("==== Corvane Setup ")]
    stamp = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4} ")
    logged = []
    for line in lines[starts[-1] + 1:] if starts else []:
        m = stamp.match(line)
        logged.append(line[m.end():] if m else line[1:] if line.startswith("\t") else None)
    printed = iter(run.log_lines())
    in_order = None not in logged and all(any(p == line for p in printed) for line in logged)
    run.check(in_order and any(l.startswith("mountPath ") for l in logged)
              and any(l.startswith("execute cmd ") for l in logged),
              f"the log file holds the install's lines as printed ({len(logged)} lines)")


def expect_success(run, *, fresh, set_default="1", timeout=None):
    status = run.wait_exit(timeout)
    run.check(status == 0, f"the setup ended with exit status 0 (got {status})")
    expect_log_file(run)
    run.check(run.installed_version() == "2.0.0",
              f"{run.app} holds the new version (got {run.installed_version()})")
    settings = run.settings()
    run.summary["settings"] = settings
    if fresh:
        for key, want in (("product/setDefault", set_default), ("product/engageService", "1"),
                          ("product/cover_install", "0"), ("product/generated", "1")):
            run.check(settings.get(key) == want, f"{key} = {want} (got {settings.get(key)})")
        run.check("product/installtime" in settings, "product/installtime written")
        run.check(settings.get("product/version") == "1.0.0.1", "product/version from the bundle name")
    else:
        run.check(settings.get("product/cover_install") == "1", "product/cover_install = 1")
        run.check("product/setDefault" not in settings and "product/engageService" not in settings,
                  "neither option key written over an existing install")
    got = run.wait_for_milestones([100, 1, 21])
    run.summary["milestones"] = got
    for m in (100, 1, 21):
        run.check(m in got, f"milestone {m} at the collector (got {got})")


def scenario_fresh(run):
    prepare(run)
    before = run.geometry(run.window)
    # The install button acts on the press and on every move of a held press; one download only.
    accept_and_install(run, drag=True)
    # Folding the drawer resizes the window the way a Mac does: its bottom edge stays.
    deadline = time.time() + 10
    after = run.geometry(run.window)
    while time.time() < deadline and after and after[3] == before[3]:
        time.sleep(0.2)
        after = run.geometry(run.window)
    run.summary["geometry"] = (before, after)
    if run.check(before and after and (before[3], after[3]) == (492, 436),
                 f"the window went from 492 to 436 high ({before} -> {after})"):
        moved = (after[1] + after[3]) - (before[1] + before[3])
        run.check(abs(moved) <= BOTTOM_EDGE_TOLERANCE and after[0] == before[0],
                  f"the bottom edge stayed (moved {moved} px, {before} -> {after})")
    time.sleep(1.5)
    run.screenshot("downloading-or-installing")
    expect_success(run, fresh=True)
    run.check(run.count_log("fnDownload") == 1 and run.packages_served() == 1,
              f"one download ({run.count_log('fnDownload')} started, {run.packages_served()} served)")


def scenario_demo(run):
    """With --show and a display a person clicks through; otherwise the fresh run clicks."""
    if not run.args.show:
        scenario_fresh(run)
        return
    prepare(run)
    run.log("the setup window is open: tick the agreement, press 开始安装 and wait")
    expect_success(run, fresh=True, timeout=1800)


def scenario_overwrite(run):
    prepare(run, existing=True)
    accept_and_install(run)
    expect_success(run, fresh=False)


def expect_quit(run, reason, *, extra=()):
    status = run.wait_exit()
    run.check(status == 0, f"the setup quit with exit status 0 (got {status})")
    wanted = [100, *extra, reason]
    got = run.wait_for_milestones(wanted)
    run.summary["milestones"] = got
    for m in wanted:
        run.check(m in got, f"milestone {m} at the collector (got {got})")


def scenario_agreement(run):
    prepare(run)
    for count, link in enumerate(("user_agreement", "privacy_notice"), 1):
        for answer in (2, 4, 8, 16):  # a click while the window settles may be lost
            run.click(*CLICK[link])
            if run.wait_for(lambda: len(run.opened()) >= count, answer):
                break
    run.check(tuple(run.opened()) == AGREEMENT_PAGES, f"the links open their pages ({run.opened()})")
    run.check(not run.ticked(), "the agreement box starts unticked")
    run.check(run.ticked("set_default"), "the default-reader box starts ticked")
    run.click(*CLICK["set_default"])
    run.check(run.wait_for(lambda: not run.ticked("set_default"), 10),
              "a click unticks the default-reader box")
    run.click(*CLICK["install"])  # without the agreement: the prompt opens
    run.screenshot("agreement-prompt")
    got = run.wait_for_milestones([100, 9])
    run.check(9 in got, f"Agreement_missing (9) reported (got {got})")
    run.check(run.packages_served() == 0, "nothing downloaded before the agreement")
    run.click(*CLICK["prompt_agree"])
    got = run.wait_for_milestones([100, 9, 10])
    run.check(10 in got, f"Agreement_accepted (10) reported (got {got})")
    run.check(run.packages_served() == 0, "agreeing alone starts no download")
    run.check(run.ticked(), "agreeing ticks the agreement box")
    run.click(*CLICK["install"])
    expect_success(run, fresh=True, set_default="0")
    got = run.summary["milestones"]
    run.check(got.index(9) < got.index(10) < got.index(1), f"9, then 10, then 1 (got {got})")


def scenario_running(run):
    prepare(run, existing=True, running=True)
    accept_and_install(run)
    deadline = time.monotonic() + run.remaining()
    while time.monotonic() < deadline and len(run.windows()) < 2:
        time.sleep(0.2)
    run.screenshot("running-alert")
    windows = run.windows()
    run.check(len(windows) >= 2, f"the running alert is shown (windows: {windows})")
    run.check(run.packages_served() == 0, "nothing downloaded while Corvane runs")
    alert = [w for w in windows if w[3] != 680]
    if alert:
        wid, x, y, width, height = alert[0]
        run.xdo("mousemove", "--sync", x + width // 2, y + height - 35)  # "好的"
        run.xdo("click", "1")
    deadline = time.monotonic() + run.remaining()
    while time.monotonic() < deadline and len(run.windows()) > 1:
        time.sleep(0.2)
    run.check(len(run.windows()) == 1, "\"好的\" dismisses the alert")
    run.check(run.installed_version() == "1.0.0", "the installed app is untouched")
    run.close_window()
    expect_quit(run, 2)
    run.check(1 not in run.summary["milestones"], "no install reported")


def scenario_drop_retry(run):
    # Every attempt resumes silently twice, so three drops in a row reach the failed screen;
    # "重试" then resumes from where the third drop left off.
    prepare(run, drops=3)
    accept_and_install(run)
    run.check(run.wait_log("Starting download from "), "the download started")
    run.check(run.wait_log("Download resumes at byte ", 2, timeout=20),
              "two silent resumes before the failure")
    time.sleep(1.5)
    run.screenshot("download-failed")
    run.check(run.setup.poll() is None, "the setup waits on the download-failed screen")
    run.check(run.click_until_logged(CLICK["retry"], "restartDownload"), "\"重试\" starts the download again")
    expect_success(run, fresh=True)
    _, fetched, statuses = run.fault_served()
    run.check(statuses == [200, 206, 206, 206], f"one download, resumed three times (got {statuses})")
    size = run.image.stat().st_size
    run.check(fetched == size, f"{size} bytes fetched in all (got {fetched})")
    run.check(not list(Path(run.env["TMPDIR"]).glob("package.dmg.part*")), "no partial file left")






def scenario_close_during(run):
    prepare(run, rate=256 * 1024)
    accept_and_install(run)
    run.check(run.wait_log("Starting download from "), "the download started")
    time.sleep(1)
    run.screenshot("downloading")
    run.close_window()
    panel = run.wait_window(PANEL_SIZE)
    run.check(panel is not None, "closing during the download asks with the exit panel")
    run.screenshot("exit-panel")
    if panel:
        wid, x, y, _, _ = panel
        run.xdo("mousemove", "--sync", x + PANEL_CONFIRM[0], y + PANEL_CONFIRM[1])
        run.xdo("click", "1")
    expect_quit(run, 3)
    run.check(run.installed_version() is None, "nothing installed")
    left = sorted(p.name for p in Path(run.env["TMPDIR"]).glob("package.dmg*"))
    run.check(not left, f"the quit removed the partial download (left: {left})")


def scenario_quit_during_install(run):
    """The exit panel is open when the download hands over to the install: the panel goes by
    itself (a click where "确认" was does nothing), and a quit that comes during the install
    (SIGTERM) waits for it to end."""
    prepare(run, existing=True, rate=256 * 1024, env={"CORVANE_SIM_DITTO_DELAY": "8"})
    accept_and_install(run)
    run.check(run.wait_log("Starting download from "), "the download started")
    time.sleep(1)
    run.close_window()
    panel = run.wait_window(PANEL_SIZE)
    run.check(panel is not None, "closing during the download asks with the exit panel")
    run.screenshot("exit-panel")
    run.check(run.wait_log("mountPath ", timeout=60), "the download ended and the install began")
    # At once, well inside the slowed copy: the process only, the install's commands go on.
    run.setup.send_signal(signal.SIGTERM)
    deadline = time.time() + 5
    while time.time() < deadline and any((w[3], w[4]) == PANEL_SIZE for w in run.windows()):
        time.sleep(0.2)
    run.check(not any((w[3], w[4]) == PANEL_SIZE for w in run.windows()),
              "the panel closed by itself when the install began")
    run.screenshot("installing")
    if panel:
        # Where "确认" was: the window underneath takes the click and nothing quits.
        wid, x, y, _, _ = panel
        run.xdo("mousemove", "--sync", x + PANEL_CONFIRM[0], y + PANEL_CONFIRM[1])
        run.xdo("click", "1")
    run.check(run.wait_log("quit waits for the install to finish", timeout=5),
              "the quit waits for the install")
    run.check(run.setup.poll() is None and run.installed_version() != "2.0.0",
              "the setup still runs while the copy is under way")
    status = run.wait_exit(60)
    run.check(status == 0, f"the setup quit with exit status 0 once the install ended (got {status})")
    run.check(run.installed_version() == "2.0.0", f"{run.app} holds the complete new version")
    payload = run.app / "Contents" / "Resources" / "payload.bin"
    run.check(payload.is_file() and payload.stat().st_size == 2 * 1024 * 1024,
              "the new app's payload is whole")
    leftovers = [p.name for p in run.home.iterdir() if len(p.name) == 36 and p.name.count("-") == 4]
    run.check(not leftovers, f"no working folder or backup left in the home folder ({leftovers})")
    got = run.wait_for_milestones([100])
    run.summary["milestones"] = got
    run.check(got == [100], f"only Setup_started reported: a signal quits without a report (got {got})")


NOT_GIVEN = "The administrator's consent was not given: "


def tree_of(path):
    """Every file below `path` with its mode and bytes: the same app means the same tree."""
    return {str(p.relative_to(path)): (p.stat().st_mode, p.read_bytes())
            for p in sorted(path.rglob("*")) if p.is_file()} if path.exists() else None


def scenario_standard_consent(run):
    """A standard account (not in admin) may not write to /Applications: each attempt asks for an
    administrator's consent once. Refused, then cancelled: the install-failed screen, the old app
    as it was, nothing reported as installed; "重新安装" asks again; given: installed."""
    prepare(run, existing=True, standard=True, answer="deny")
    before = tree_of(run.app)
    accept_and_install(run)
    for attempt, (answer, then) in enumerate((("deny", "cancel"), ("cancel", "allow")), 1):
        run.check(run.wait_log(NOT_GIVEN, attempt, timeout=90),
                  f"attempt {attempt}: the {answer} is logged as consent not given")
        run.check(len(run.consent_requests()) == attempt,
                  f"attempt {attempt}: asked once ({len(run.consent_requests())} requests)")
        run.check(tree_of(run.app) == before, f"attempt {attempt}: the old app is as it was")
        run.check(1 not in run.milestones(), f"attempt {attempt}: nothing reported as installed")
        run.answer_consent(then)
        run.check(run.click_until_logged(CLICK["reinstall"], "mountPath ", timeout=90),
                  f"attempt {attempt}: the install-failed screen's 重新安装 starts another install")
        if attempt == 1:
            run.screenshot("install-failed")
    expect_success(run, fresh=False)
    run.check(run.count_log(NOT_GIVEN) == 2, "consent not given logged once per refused attempt")
    requests = run.consent_requests()
    run.check(all(r["uid"] == MAC_UID and WINDOW_TITLE in r["prompt"] for r in requests),
              "each request came from the user and names the setup")
    run.expected_consents = 3


def scenario_root_owned(run):
    """An administrator whose old app is root's (as an installer package leaves it) cannot move
    it aside: asked once, and the app is replaced."""
    prepare(run, existing=True, answer="allow", old_owner="root")
    accept_and_install(run)
    expect_success(run, fresh=False)
    run.expected_consents = 1
    leftovers = [p.name for p in run.home.iterdir() if len(p.name) == 36 and p.name.count("-") == 4]
    run.check(not leftovers, f"root's backup went with the consent ({leftovers})")


SCENARIOS = {
    "demo": scenario_demo,
    "fresh": scenario_fresh,
    "overwrite": scenario_overwrite,
    "agreement": scenario_agreement,
    "running": scenario_running,
    "drop-retry": scenario_drop_retry,
    "close-during": scenario_close_during,
    "quit-during-install": scenario_quit_during_install,
    "standard-consent": scenario_standard_consent,
    "root-owned": scenario_root_owned,
}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--scenario", default="demo", choices=sorted(SCENARIOS))
    ap.add_argument("--work")
    ap.add_argument("--show", action="store_true", help="use $DISPLAY instead of a private Xvfb")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    ap.add_argument("--time-limit", type=float, default=None,
                    help="seconds for the whole run (default 600, with --show 3600); the e2e "
                         "tests set it a little below their CTest time-out, so the driver reports "
                         "and cleans up itself")
    ap.add_argument("--collector-args", default="",
                    help="more tally-collector options, one shell-quoted line "
                         "(e.g. '--delay-ms 600000 --fault close' for a collector that never answers)")
    args = ap.parse_args(argv)
    if args.time_limit is None:
        args.time_limit = 3600 if args.show else 600
    run = Run(args)
    ok = False
    try:
        SCENARIOS[args.scenario](run)
        if hasattr(run, "root"):
            asked = len(run.consent_requests())
            run.check(asked == run.expected_consents,
                      f"the administrator was asked {run.expected_consents} times (got {asked})")
        ok = all(c for c, _ in run.checks) and bool(run.checks)
    except Failure as e:
        run.check(False, str(e))
    finally:
        run.stop_all()
    print()
    print(f"== {args.scenario}: {'PASSED' if ok else 'FAILED'}")
    if hasattr(run, "setup"):
        print(f"exit status:   {run.setup.returncode}")
    print(f"installed app: {run.app if getattr(run, 'app', None) and run.app.exists() else '(none)'}")
    for k, v in sorted(run.summary.get("settings", {}).items()):
        print(f"setting:       {k}={v}")
    if "milestones" in run.summary:
        print(f"milestones:    {run.summary['milestones']}")
    # Screenshots outlive the work folder: they go next to the build.
    shots = Path(args.build).resolve() / "e2e-screenshots" / args.scenario
    shutil.rmtree(shots, ignore_errors=True)
    for s in run.screenshots:
        shots.mkdir(parents=True, exist_ok=True)
        shutil.copy2(s, shots / s.name)
        print(f"screenshot:    {shots / s.name}")
    if not args.keep and ok:
        shutil.rmtree(run.work, ignore_errors=True)
    else:
        print(f"work folder:   {run.work}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
