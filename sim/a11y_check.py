#!/usr/bin/env python3
"""The accessibility scenario of the end-to-end driver (sim/setup_run.py).

The real window runs under Xvfb with a session bus and the AT-SPI accessibility bus (the tree Qt
serves there is the one VoiceOver reads on a Mac). A reader (pyatspi) checks, screen by screen,
that every control a pointer user has is in the tree with its role, name, state and action,
and the setup is driven with keys alone (xdotool): the agreement's links, the agreement prompt
(focus moved into it, Tab kept inside, Escape, Return), the exit panel, a download that fails
and is retried, the install line announced, and a whole fresh install (a11y); the running alert over an install while Corvane runs
(a11y-running).

  a11y_check.py --build BUILD_DIR [--scenario a11y|a11y-running] [--time-limit SECONDS]
                [--keep]
  a11y_check.py --reader PID          (internal: the reader, run as the app's user)

The session bus, the setup and the reader run as one user (D-Bus authenticates a client by its
uid): the Mac user the driver runs the setup as (uid 501, groups staff and admin), who, having
no entry in this machine's user database, gets one for the bus through nss_wrapper.
"""

import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# pyatspi is Debian's: it imports into the system's Python, whatever runs the driver.
SYSTEM_PYTHON = "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable

INSTALL_LINE = "安装中（预计在10秒内完成）"
AGREEMENT = "阅读并同意Corvane《用户协议》和《隐私说明》"
PROMPT_TEXT = "依据相关政策要求，为了更好地体验Corvane服务，请阅读并同意《用户协议》和《隐私说明》"

# What a pointer user has on each screen: (role, name or pattern, actions it must offer).
INTRODUCTION = [
    ("push button", "开始安装", ["Press"]),
    ("check box", AGREEMENT, ["Toggle"]),
    ("link", "《用户协议》", ["Press"]),
    ("link", "《隐私说明》", ["Press"]),
    ("check box", "设置Corvane为默认PDF阅读器，并防止篡改", ["Toggle"]),
    ("check box", "自定义安装", ["Toggle"]),
]
PROMPT = [
    ("dialog", "提示", []),
    ("label", PROMPT_TEXT, []),
    ("push button", "关闭", ["Press"]),
    ("push button", "取消", ["Press"]),
    ("push button", "同意", ["Press"]),
]
PROGRESS = [("progress bar", re.compile(r"\d+MB / \d+MB 下载剩余\d+(分\d+)?秒"), [])]
EXIT_PANEL = [
    ("alert", "确定要退出安装吗？", []),
    ("label", "确定要退出安装吗？下载尚未完成，退出后需要重新开始下载。", []),
    ("push button", "确认", ["Press"]),
    ("push button", "取消", ["Press"]),
]
DOWNLOAD_FAILED = [
    ("progress bar", re.compile(r"\d+MB / \d+MB"), []),
    ("label", "下载失败，请检查网络环境后", []),
    ("push button", "重试", ["Press"]),
    ("link", "反馈", ["Press"]),
]


# ---- the reader: runs as the app's user, answers one JSON line per command line ----

def reader(pid):
    import pyatspi
    from gi.repository import GLib

    events = []

    def app():
        for a in pyatspi.Registry.getDesktop(0):
            if a is not None and a.get_process_id() == pid:
                return a
        return None

    def node(o):
        try:
            states = sorted(pyatspi.stateToString(s) for s in o.getState().getStates())
        except Exception:  # an object that went while we read it
            return None
        entry = {"role": o.getRoleName(), "name": o.name, "description": o.description,
                 "states": states, "actions": [], "value": None, "children": []}
        try:
            action = o.queryAction()
            entry["actions"] = [action.getName(i) for i in range(action.nActions)]
        except NotImplementedError:
            pass
        try:
            value = o.queryValue()
            entry["value"] = [value.currentValue, value.minimumValue, value.maximumValue]
        except NotImplementedError:
            pass
        entry["children"] = [n for n in (node(c) for c in o if c is not None) if n]
        return entry

    def find(o, role, name):
        if o.getRoleName() == role and o.name == name and \
                o.getState().contains(pyatspi.STATE_SHOWING):
            return o
        for c in o:
            found = c is not None and find(c, role, name)
            if found:
                return found
        return None

    def on_event(event):
        try:
            source = event.source
            if source.get_process_id() == pid:
                events.append([str(event.type), source.getRoleName(), source.name, event.detail1])
        except Exception:
            pass

    def answer(command):
        a = app()
        if command["cmd"] == "ready":
            return {"ready": a is not None}
        if a is None:
            return {"error": "the setup is not on the bus"}
        if command["cmd"] == "tree":
            return {"tree": [n for n in (node(w) for w in a if w is not None) if n]}
        if command["cmd"] == "do":
            target = None
            for w in a:
                target = target or (w is not None and find(w, command["role"], command["name"]))
            if not target:
                return {"error": f"no {command['role']} {command['name']!r} showing"}
            action = target.queryAction()
            names = [action.getName(i) for i in range(action.nActions)]
            return {"done": action.doAction(names.index(command["action"]))}
        if command["cmd"] == "events":
            got = list(events)
            events.clear()
            return {"events": got}
        return {"error": f"unknown command {command}"}

    def on_input(source, _condition):
        line = sys.stdin.readline()
        if not line:
            pyatspi.Registry.stop()
            return False
        try:
            reply = answer(json.loads(line))
        except Exception as e:  # the reply says it; the driver fails the check
            reply = {"error": repr(e)}
        print(json.dumps(reply, ensure_ascii=False), flush=True)
        return True

    pyatspi.Registry.registerEventListener(on_event, "object:property-change:accessible-name",
                                           "object:state-changed:focused",
                                           "object:state-changed:showing")
    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_IN | GLib.IO_HUP, on_input)
    pyatspi.Registry.start()


# ---- the scenario ----

class Bus:
    """The session bus with the accessibility bus behind it, and a reader on it, all as `user`."""

    def __init__(self, run, user):
        import setup_run
        self.run = run
        self.user = user
        runtime = run.work / "runtime"
        runtime.mkdir(mode=0o700, exist_ok=True)
        run.grant(runtime)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "DISPLAY": run.display,
                    "HOME": str(run.home), "XDG_RUNTIME_DIR": str(runtime), "LANG": "C.UTF-8"}
        if user:
            # dbus-daemon looks its user up by uid, and a Mac user is no user of this machine:
            # the bus and the reader get a passwd entry of their own (nss_wrapper).
            nss = run.work / "nss"
            nss.mkdir(exist_ok=True)
            (nss / "passwd").write_text(f"tester:x:{user[1]}:20:Tester:{run.home}:/bin/sh\n")
            (nss / "group").write_text("staff:x:20:\nadmin:x:80:\n")
            self.env.update({"LD_PRELOAD": "libnss_wrapper.so",
                             "NSS_WRAPPER_PASSWD": str(nss / "passwd"),
                             "NSS_WRAPPER_GROUP": str(nss / "group")})
        daemon = subprocess.Popen(setup_run.tied(["dbus-daemon", "--session", "--nofork",
                                                  "--print-address=1"], user),
                                  env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        run.procs.append(("dbus-daemon", daemon))
        address = daemon.stdout.readline().strip()
        if not address:
            raise setup_run.Failure("the session bus did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        # Qt joins the accessibility bus only when it is there as the window opens.
        run.run(setup_run.tied(["dbus-send", "--session", "--dest=org.a11y.Bus", "--print-reply",
                                "/org/a11y/bus", "org.a11y.Bus.GetAddress"], user), env=self.env)
        run.env.update({"DBUS_SESSION_BUS_ADDRESS": address, "XDG_RUNTIME_DIR": str(runtime),
                        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})

    def start_reader(self, pid):
        import setup_run
        self.reader = subprocess.Popen(setup_run.tied([SYSTEM_PYTHON, __file__, "--reader", pid],
                                                      self.user),
                                       env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=open(self.run.work / "reader.log", "w"), text=True,
                                       start_new_session=True)
        self.run.procs.append(("reader", self.reader))
        self.run.until(lambda: self.ask(cmd="ready")["ready"], "the setup on the accessibility bus",
                       every=0.3)

    def ask(self, **command):
        self.reader.stdin.write(json.dumps(command) + "\n")
        self.reader.stdin.flush()
        line = self.reader.stdout.readline()
        if not line:
            import setup_run
            raise setup_run.Failure(f"the reader ended (see {self.run.work / 'reader.log'})")
        return json.loads(line)

    def nodes(self):
        """Every showing object of the setup's windows, flattened, each with its window's role."""
        flat = []

        def walk(n, top):
            if "showing" in n["states"]:
                flat.append({**n, "window": top})
                for c in n["children"]:
                    walk(c, top)

        for w in self.ask(cmd="tree").get("tree", []):
            walk(w, w["role"])
        return flat

    def find(self, role, name, nodes=None):
        for n in self.nodes() if nodes is None else nodes:
            if n["role"] == role and (name.fullmatch(n["name"]) if isinstance(name, re.Pattern)
                                      else n["name"] == name):
                return n
        return None

    def focused(self):
        found = [n for n in self.nodes() if "focused" in n["states"]]
        return found[-1] if found else None


def named(node):
    return None if node is None else (node["role"], node["name"])


def check_screen(run, bus, title, expected):
    """Every control of `expected` is showing with its role, name and actions; controls take
    the focus."""
    nodes = bus.nodes()
    for role, name, actions in expected:
        n = bus.find(role, name, nodes)
        label = name.pattern if isinstance(name, re.Pattern) else name
        ok = n is not None and all(a in n["actions"] for a in actions) and \
            (not actions or "focusable" in n["states"])
        run.check(ok, f"{title}: {role} {label!r} with {actions or 'no action'} "
                      f"({n and n['states']})")
    return nodes


def press(run, bus, keys, want, what):
    """Presses `keys` (xdotool names) and waits until the focus is on `want` (role, name)."""
    run.xdo("key", "--clearmodifiers", *keys.split())
    ok = run.wait_for(lambda: named(bus.focused()) == want, 10)
    run.check(ok, f"{keys}: the focus on {want[1]!r} {what} (got {named(bus.focused())})")


def stage(run, *, existing=False, running=False, drops=0, rate=0):
    """The scene of setup_run.prepare(), with the buses up before the window opens and a reader
    on them once it has."""
    import setup_run
    setup_run.stage_scene(run, existing=existing, running=running, drops=drops, rate=rate)
    bus = Bus(run, run.app_user)
    run.start_setup()
    bus.start_reader(str(run.setup.pid))
    run.screenshot("introduction")
    return bus


def scenario_a11y(run):
    import setup_run
    # Three drops reach the failed screen; slow enough to read each screen on the way.
    bus = stage(run, drops=3, rate=160 * 1024)

    # The introduction, and its links by the bus's action and by keys.
    check_screen(run, bus, "introduction", INTRODUCTION)
    run.check(named(bus.focused()) == ("push button", "开始安装"),
              f"the window opens with the focus on 开始安装 (got {named(bus.focused())})")
    bus.ask(cmd="do", role="link", name="《用户协议》", action="Press")
    run.check(run.wait_for(lambda: len(run.opened()) >= 1, 10),
              f"the link's action opens its page ({run.opened()})")
    press(run, bus, "Tab", ("check box", AGREEMENT), "after Tab")
    press(run, bus, "Tab", ("link", "《用户协议》"), "after Tab")
    press(run, bus, "Tab", ("link", "《隐私说明》"), "after Tab")
    run.screenshot("link-focused")
    run.xdo("key", "Return")
    run.check(run.wait_for(lambda: len(run.opened()) >= 2, 10)
              and tuple(run.opened()) == setup_run.AGREEMENT_PAGES,
              f"the links open their pages ({run.opened()})")
    press(run, bus, "shift+Tab shift+Tab shift+Tab", ("push button", "开始安装"), "after Shift+Tab")

    # The agreement prompt: a dialog that takes the focus, keeps Tab and answers Escape.
    bus.ask(cmd="events")
    press(run, bus, "Return", ("push button", "同意"), "when the prompt opens")
    run.screenshot("agreement-prompt")
    nodes = check_screen(run, bus, "agreement prompt", PROMPT)
    dialog = bus.find("dialog", "提示", nodes)
    run.check(dialog and dialog["description"] == PROMPT_TEXT and "modal" in dialog["states"],
              f"the prompt is a modal dialog described by its text ({dialog and dialog['states']})")
    inside = {("push button", n) for n in ("关闭", "取消", "同意")} | \
        {("link", n) for n in ("《用户协议》", "《隐私说明》")}
    visited = []
    for _ in range(5):
        run.xdo("key", "Tab")
        run.wait_for(lambda: named(bus.focused()) not in visited[-1:], 5)
        visited.append(named(bus.focused()))
    run.check(set(visited) == inside, f"Tab stays inside the prompt ({visited})")
    press(run, bus, "Escape", ("push button", "开始安装"), "back after Escape")
    run.check(bus.find("dialog", "提示") is None, "Escape closes the prompt")
    press(run, bus, "Return", ("push button", "同意"), "when the prompt opens again")
    press(run, bus, "Return", ("push button", "开始安装"), "back after 同意")
    box = bus.find("check box", AGREEMENT)
    run.check(box and "checked" in box["states"], "同意 ticks the agreement box")
    got = run.wait_for_milestones([100, 9, 12, 9, 10])
    run.check(got[:5] == [100, 9, 12, 9, 10], f"missing, cancelled, missing, accepted (got {got})")

    # The download: a progress bar with a value, and the exit panel over it.
    run.xdo("key", "Return")
    bar = run.until(lambda: (lambda b: b if b and b["value"] and b["value"][0] > 0 else None)(
        bus.find(*PROGRESS[0][:2])), "the progress bar to move")
    run.screenshot("downloading")
    run.check(bar["value"][1:] == [0.0, 100.0] and 0 < bar["value"][0] < 100,
              f"the bar's value {bar['value']} (current, minimum, maximum) for {bar['name']!r}")
    run.xdo("key", "alt+F4")  # the window manager's close, as Cmd-W would be
    run.until(lambda: bus.find("alert", "确定要退出安装吗？"), "the exit panel")
    run.screenshot("exit-panel")
    check_screen(run, bus, "exit panel", EXIT_PANEL)
    run.check(named(bus.focused()) == ("push button", "取消"), "the exit panel's focus on 取消")
    run.xdo("key", "Return")
    run.check(run.wait_for(lambda: bus.find("alert", "确定要退出安装吗？") is None, 10),
              "Return answers 取消: the panel goes")

    # The download fails; "重试" takes the focus and Return resumes it.
    run.until(lambda: bus.find("push button", "重试"), "the download-failed screen")
    run.screenshot("download-failed")
    check_screen(run, bus, "download failed", DOWNLOAD_FAILED)
    run.check(run.wait_for(lambda: named(bus.focused()) == ("push button", "重试"), 5),
              f"the failed screen's focus on 重试 (got {named(bus.focused())})")
    bus.ask(cmd="events")
    run.xdo("key", "Return")
    run.check(run.wait_log("restartDownload", timeout=10), "Return on 重试 starts the download again")

    # The install line is announced: the bar's name changes to it.
    def announced():
        return any(e[0].startswith("object:property-change:accessible-name")
                   and e[1] == "progress bar" and e[2] == INSTALL_LINE
                   for e in bus.ask(cmd="events")["events"])
    run.check(run.wait_for(announced, 60), "the install line is announced on the bar")
    run.screenshot("installing")
    setup_run.expect_success(run, fresh=True)
    run.check(run.count_log("restartDownload") == 1, "one retry")


def scenario_a11y_running(run):
    """Corvane runs: the running alert is an alert with its focus on "好的", answered by Escape
    and by Return; the window then closes with the keyboard and nothing is installed."""
    import setup_run
    bus = stage(run, existing=True, running=True)
    check_screen(run, bus, "introduction over an install", INTRODUCTION[:4])
    run.check(not any(bus.find(*control[:2]) for control in INTRODUCTION[4:]),
                      "neither the drawer nor its switch over an install")
    press(run, bus, "Tab", ("check box", AGREEMENT), "after Tab")
    run.xdo("key", "space")
    run.check(run.wait_for(lambda: "checked" in (bus.find("check box", AGREEMENT) or {}).get(
        "states", []), 10), "Space ticks the agreement box")
    press(run, bus, "shift+Tab", ("push button", "开始安装"), "after Shift+Tab")
    title = "Corvane正在运行，\n请先关闭应用后再安装软件"
    for answer in ("Escape", "Return"):
        press(run, bus, "Return", ("push button", "好的"), "when the running alert opens")
        run.screenshot("running-alert")
        check_screen(run, bus, "running alert", [("alert", title, []), ("label", title, []),
                                                 ("push button", "好的", ["Press"])])
        press(run, bus, answer, ("push button", "开始安装"), f"back after {answer}")
        run.check(bus.find("alert", title) is None, f"{answer} dismisses the running alert")
    run.check(run.packages_served() == 0, "nothing downloaded while Corvane runs")
    run.xdo("key", "alt+F4")
    setup_run.expect_quit(run, 2)
    run.check(run.installed_version() == "1.0.0", "the installed app is untouched")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reader":
        reader(int(sys.argv[2]))
        return 0
    import setup_run
    setup_run.SCENARIOS["a11y"] = scenario_a11y
    setup_run.SCENARIOS["a11y-running"] = scenario_a11y_running
    args = sys.argv[1:]
    if "--scenario" not in args:
        args += ["--scenario", "a11y"]
    return setup_run.main(args)


if __name__ == "__main__":
    sys.exit(main())
