#!/bin/sh
# The time from starting dirlook to its window shown, on a virtual display
# (Debian's xvfb and x11-utils); not run by CI.
#
#   bench/startup_time.sh BUILD_DIR [RECORDS] [RUNS]
#
# A generated directory of RECORDS entries (default 450000, the most the
# generator writes) is made in a temporary folder; each run starts dirlook
# there and polls the display until a viewable window named "Dirlook"
# exists, then closes it.  The polling adds up to a few milliseconds.
set -eu
build=$(cd "${1:?usage: startup_time.sh BUILD_DIR [RECORDS] [RUNS]}" && pwd)
records=${2:-450000}
runs=${3:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/dirlook-startup-XXXXXX")
display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
xvfb=$!
cleanup() { kill "$xvfb" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
"$build/tools/dirlook_sample" --records "$records" "$work" >/dev/null
sleep 1
cd "$work"
i=0
while [ "$i" -lt "$runs" ]; do
  start=$(date +%s%N)
  DISPLAY=$display "$build/app/dirlook" &
  app=$!
  until DISPLAY=$display xwininfo -name Dirlook 2>/dev/null | grep -q IsViewable; do :; done
  end=$(date +%s%N)
  kill "$app"
  wait "$app" 2>/dev/null || true
  echo "window shown after $(( (end - start) / 1000000 )) ms"
  i=$((i + 1))
done
