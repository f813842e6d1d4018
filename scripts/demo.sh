#!/usr/bin/env bash
# The main job: a whole setup in a simulated macOS root against local servers.
# Installs what is missing, builds the setup, lays out a simulated Mac (home folder, empty
# /Applications), builds a test disk image, serves it over HTTPS with nginx, starts the reference
# telemetry collector, points a copy of the built bundle at it and starts the real setup.
# With a display ($DISPLAY set) the window opens for you to click through; without one it runs
# under Xvfb and is clicked through like a person would. It ends with a summary (exit status,
# installed app, settings written, milestones at the collector, screenshots) and stops every
# server it started. Exit status 0 only when all of that holds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/let-user-reach.sh
echo "== building the setup (build/default)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" \
  --target corvane_setup_app tally-collector corvane-ini votally
# --keep: the simulated Mac (installed app, settings file) stays for a look afterwards.
args=(--build build/default --scenario demo --keep)
if [ -n "${DISPLAY:-}" ]; then
  args+=(--show)
fi
exec python3 sim/setup_run.py "${args[@]}"
