#!/usr/bin/env python3
"""Times the real setup program for bench/run.sh, with the end-to-end driver's machinery
(sim/setup_run.py: simulated root, staged bundle, collector, nginx, Xvfb, xdotool).

  app_timing.py startup --build BUILD_DIR [--runs N]
      Start-up to the first drawn frame of the setup and of bench/ui/minimal_window, both started
      by first_frame_probe on one private Xvfb (black root, no window manager), alternating which
      goes first, after one unmeasured round of each.
  app_timing.py exit --build BUILD_DIR [--runs N]
      A whole fresh install clicked through, once against a collector that answers and once
      against one that never answers (it holds every post, then drops it), alternating. Measured
      from outside: each line of the setup's output is stamped when it appears (polled every
      2 ms), and the time from its last line (opening Corvane, the install's last step) to the
      process's end is reported with the milestones the collector stored.

Prints one JSON object on standard output; progress goes to standard error. Stops everything it
starts.
"""

import argparse
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, str(SOURCE_DIR / "sim"))
import setup_run  # noqa: E402

MINIMAL_TITLE = "Minimal Qt window"
# Far above the setup's 3 s flush bound; "close" then drops the post instead of answering.
NEVER_ANSWERS = "--delay-ms 600000 --fault close"


def note(text):
    print(f"[app_timing] {text}", file=sys.stderr, flush=True)


def new_run(build, collector_args=""):
    args = SimpleNamespace(build=build, work=None, keep=False, show=False,
                           collector_args=collector_args)
    return setup_run.Run(args)


def finish(run):
    # The driver reports what it does on standard output, which carries our JSON.
    with contextlib.redirect_stdout(io.StringIO()):
        run.stop_all()
    shutil.rmtree(run.work, ignore_errors=True)


def start_black_xvfb(run):
    """A private Xvfb whose root is black, so an undrawn window reads back black. It does not
    reset when its last client leaves: a reset under load refuses the next probe's connection."""
    return setup_run.start_xvfb(run.procs, extra=("-br", "-noreset"))


def startup(build, runs):
    probe = build / "bench" / "ui" / "first_frame_probe"
    minimal = build / "bench" / "ui" / "minimal_window"
    run = new_run(build)
    try:
        with contextlib.redirect_stdout(sys.stderr):
            run.make_root()
            run.start_collector()
            run.stage_bundle()
        display = start_black_xvfb(run)
        # The environment the driver gives the setup; the reference gets the same one.
        env = {k: v for k, v in os.environ.items() if not k.startswith("QT_")}
        env.update(run.env)
        env.update({"DISPLAY": display, "QT_QPA_PLATFORM": "xcb", "LANG": "C.UTF-8",
                    "CORVANE_PACKAGE_BASE": "https://127.0.0.1:9",  # nothing is downloaded
                    "XDG_RUNTIME_DIR": str(run.work / "xdg")})
        (run.work / "xdg").mkdir(mode=0o700)
        sides = {"setup": (setup_run.WINDOW_TITLE, run.exe), "minimal": (MINIMAL_TITLE, minimal)}
        times = {name: [] for name in sides}
        for i in range(runs + 1):
            order = ["minimal", "setup"] if i % 2 == 0 else ["setup", "minimal"]
            for name in order:
                title, exe = sides[name]
                r = subprocess.run([str(probe), title, "30", str(exe)], env=env, cwd=run.home,
                                   capture_output=True, text=True, timeout=60)
                if r.returncode != 0:
                    raise setup_run.Failure(f"{name}: {r.stderr.strip()[-500:]}")
                fields = dict(kv.split("=") for kv in r.stdout.split())
                if i > 0:  # the first round warms caches and is not counted
                    times[name].append(float(fields["drawn_ms"]))
                note(f"start-up {name}: {r.stdout.strip()}{'' if i else ' (warm-up)'}")
        return {"startup_ms": times}
    finally:
        finish(run)


def one_exit(build, collector_args):
    run = new_run(build, collector_args)
    try:
        with contextlib.redirect_stdout(sys.stderr):
            setup_run.prepare(run)
            setup_run.accept_and_install(run)
        log = run.work / "setup.log"
        stamped = []  # (time, line)
        pending = b""
        offset = 0
        deadline = time.monotonic() + 180

        def read_new(at):
            nonlocal pending, offset
            with open(log, "rb") as f:
                f.seek(offset)
                data = f.read()
            offset += len(data)
            pending += data
            *lines, pending = pending.split(b"\n")
            stamped.extend((at, line.decode(errors="replace")) for line in lines)

        while run.setup.poll() is None:
            if time.monotonic() > deadline:
                raise setup_run.Failure("the setup did not end")
            if os.path.getsize(log) != offset:
                read_new(time.monotonic())
            time.sleep(0.002)
        ended = time.monotonic()
        read_new(ended)  # lines that came with the end count as written at the end
        status = run.setup.returncode
        installed = any(line.startswith("completely installation with") for _, line in stamped)
        if status != 0 or not installed:
            raise setup_run.Failure(f"the install did not succeed (status {status})")
        last_time, last_line = stamped[-1]
        wanted = [100, 1, 21]
        got = run.wait_for_milestones(wanted, timeout=5) if not collector_args else run.milestones()
        return {"exit_ms": (ended - last_time) * 1000, "last_line": last_line,
                "status": status, "milestones": got}
    finally:
        finish(run)


def exit_after_success(build, runs):
    cases = {"answers": "", "never_answers": NEVER_ANSWERS}
    results = {name: [] for name in cases}
    for i in range(runs):
        order = list(cases) if i % 2 == 0 else list(reversed(cases))
        for name in order:
            r = one_exit(build, cases[name])
            note(f"exit {name}: {r['exit_ms']:.0f} ms after \"{r['last_line']}\", "
                 f"milestones {r['milestones']}")
            results[name].append(r)
    return {"exit": results, "never_answers_args": NEVER_ANSWERS}


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=["startup", "exit"])
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    build = Path(args.build).resolve()
    try:
        if args.mode == "startup":
            result = startup(build, args.runs)
        else:
            result = exit_after_success(build, args.runs)
    except setup_run.Failure as e:
        note(f"failed: {e}")
        return 1
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
