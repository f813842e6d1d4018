#!/usr/bin/env bash
# Compiles every Objective-C++ source (*.mm, built only on macOS) for syntax and types with clang
# against GNUstep's Foundation and AppKit headers, Qt and libcurl, with the project's warnings as
# errors. Nothing is linked or run. scripts/mac-check/ holds what GNUstep lacks: a prelude, the
# AppKit names newer than GNUstep's, and the few CoreFoundation, CFNetwork and Security
# declarations the sources use.
#
# Limits: GNUstep's headers here are built on GCC's Objective-C runtime, whose objc/runtime.h is
# not valid under ARC; files built with -fobjc-arc are therefore checked without it (bridged
# casts are accepted, ARC's ownership rules are not checked).
set -euo pipefail
cd "$(dirname "$0")/.."

check=scripts/mac-check
objc_include=$(dirname "$(gcc -print-file-name=include/objc/objc.h)")/..
# shellcheck disable=SC2046
flags=(
  -x objective-c++ -std=c++20 -fsyntax-only -fPIC
  -fobjc-runtime=gnustep-2.0 -fobjc-exceptions -fexceptions
  -DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1 -DGNU_GUI_LIBRARY=1 -DGNU_RUNTIME=1 -D_NATIVE_OBJC_EXCEPTIONS
  -isystem /usr/include/GNUstep -isystem "$objc_include"
  $(pkg-config --cflags-only-I Qt6Widgets | sed 's/-I/-isystem /g')
  -I"$check" -I"$check/include" -Isrc -include "$check/prelude.h"
  -DCORVANE_PACKAGE_HOST='"https://packages.corvane.example"'
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Werror
)

mapfile -t sources < <(find src -name "*.mm" | sort)
status=0
for f in "${sources[@]}"; do
  extra=()
  # The file's bridged casts are written for ARC; without it they only warn that they do nothing.
  if grep -q '__bridge_transfer\|__bridge_retained' "$f"; then
    extra+=(-Wno-arc-bridge-casts-disallowed-in-nonarc)
  fi
  if clang++ "${flags[@]}" "${extra[@]}" "$f"; then
    echo "mac-check: ${f} ok"
  else
    echo "mac-check: ${f} FAILED" >&2
    status=1
  fi
done
echo "mac-check: ${#sources[@]} Objective-C++ files checked"
exit "$status"
