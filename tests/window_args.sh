#!/bin/bash
# The window's command line: --help and --version answer without a display;
# a directory argument that is none is reported and the window starts in the
# current directory all the same. Usage: window_args.sh ORVANDEL ORVANDEL_CLI
set -u
program=$(realpath "$1")
cli=$(realpath "$2")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No display at all: X11 is asked for and there is none.
nodisplay() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$@"; }
for option in --help -h; do
  out=$(nodisplay "$program" "$option" 2>"$work/err")
  rc=$?
  [ $rc -eq 0 ] || fail "orvandel $option exited with $rc: $(cat "$work/err")"
  echo "$out" | grep -q '^Usage: orvandel ' || fail "orvandel $option printed no usage: $out"
  echo "$out" | grep -q 'orvandel-cli' || fail "orvandel $option does not point to orvandel-cli"
  [ -s "$work/err" ] && fail "orvandel $option wrote on stderr: $(cat "$work/err")"
done
out=$(nodisplay "$program" --version 2>&1)
rc=$?
[ $rc -eq 0 ] && [ "$out" = "$("$cli" --version)" ] || fail "orvandel --version: $rc, '$out'"
# After --, --help is a directory's name.
nodisplay "$program" -- --help >/dev/null 2>&1 && fail "orvandel -- --help answered without a display"

# Without a display the window cannot start: Qt says so and aborts.
nodisplay "$program" >/dev/null 2>&1
rc=$?
[ $rc -ne 0 ] || fail "orvandel started without a display"

# A directory that is none: the reason on stderr, the window as usual.
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run is missing"; exit 77; }
touch "$work/plain"
for arg in "$work/missing" "$work/plain"; do
  (cd "$work" && QT_QPA_PLATFORM=xcb xvfb-run -a "$program" "$arg" --screenshot "$work/shot.png") 2>"$work/err"
  rc=$?
  [ $rc -eq 0 ] || fail "orvandel $arg exited with $rc: $(cat "$work/err")"
  [ -s "$work/shot.png" ] || fail "orvandel $arg showed no window"
  grep -q "^orvandel: $arg: .*; the test file goes into the current directory" "$work/err" ||
    fail "orvandel $arg did not say why: $(cat "$work/err")"
  rm -f "$work/shot.png"
done
grep -q "No such file or directory" <(cd "$work" && QT_QPA_PLATFORM=offscreen "$program" "$work/missing" --screenshot "$work/s.png" 2>&1) ||
  fail "a missing directory is not called missing"
# A directory that is one: nothing to say.
(cd / && QT_QPA_PLATFORM=offscreen "$program" "$work" --screenshot "$work/s.png") 2>"$work/err"
grep -q "^orvandel:" "$work/err" && fail "orvandel $work complained: $(cat "$work/err")"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "--help and --version answer without a display; a wrong directory is reported"
