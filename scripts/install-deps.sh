#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: when everything is present it only runs dpkg-query and returns.
# Installing needs root: run as root, or as a user who may use sudo (used for this step only).
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config ccache clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  libcurl4-openssl-dev libssl-dev zlib1g-dev libsqlite3-dev libcpp-httplib-dev nlohmann-json3-dev
  qt6-base-dev qt6-svg-dev libgl-dev libfontconfig-dev
  # the app icon: its picture drawn at every size, packed as .icns
  librsvg2-bin icnsutils
  # the simulated macOS and its servers
  zsh xorriso nginx-light openssl curl procps python3
  # real windows for the end-to-end runs
  xvfb xdotool imagemagick fonts-wqy-microhei x11-utils openbox wmctrl
  # the accessibility bus and its reader for the keyboard and screen-reader run
  dbus at-spi2-core python3-pyatspi libnss-wrapper
  # the macOS sources checked against GNUstep's Foundation and AppKit headers
  libgnustep-gui-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx must not run as a system service: tests start their own instances.
if command -v systemctl >/dev/null 2>&1; then
  "${as_root[@]}" systemctl disable --now nginx >/dev/null 2>&1 || true
fi
"${as_root[@]}" service nginx stop >/dev/null 2>&1 || true
