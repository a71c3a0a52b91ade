#!/bin/sh
# Starts the window in a real X server, waits for its title, saves a
# screenshot and lets it close; a real X server, whatever platform the
# other tests chose. Usage: xvfb_smoke.sh ORVANDEL SCREENSHOT
set -u
program=$1
shot=$2
for tool in xvfb-run xwininfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
rm -f "$shot"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" sh -c '
  "$1" --screenshot "$2" & pid=$!
  found=0
  for i in $(seq 100); do
    if xwininfo -root -tree | grep -q "\"Orvandel V0.9.55\""; then found=1; break; fi
    sleep 0.1
  done
  wait $pid; rc=$?
  [ $found = 1 ] || { echo "no window titled Orvandel V0.9.55 appeared"; exit 1; }
  [ $rc = 0 ] || { echo "orvandel exited with $rc"; exit 1; }
' sh "$program" "$shot" || exit 1
[ -s "$shot" ] || { echo "no screenshot in $shot"; exit 1; }
echo "window appeared, screenshot in $shot, closed cleanly"
