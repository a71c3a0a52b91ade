#!/bin/bash
# The window's command line: --help and --version answer without a display,
# an unknown option is a usage error, and a directory argument that is none
# is reported and the window starts in the current directory all the same.
# Usage: window_args.sh ORVANDEL ORVANDEL_CLI
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
# An option nobody knows is a usage error, told in one line before any
# display is needed; Qt's own options and a folder after -- are no error,
# and a platform that needs no display starts.
for bad in --bogus -x "--screenshot"; do
  nodisplay "$program" "$bad" >/dev/null 2>"$work/err"
  rc=$?
  [ $rc -eq 2 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q -- "^orvandel: .*$bad" "$work/err" ||
    fail "orvandel $bad: exit $rc, not 2 with one line naming it: $(cat "$work/err")"
done
mkdir "$work/-dir"
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$program" -reverse \
  -style=Fusion --screenshot "$work/s.png" -- -dir) 2>"$work/err" ||
  fail "Qt's options or a folder after -- were refused: $(cat "$work/err")"
grep -q "^orvandel:" "$work/err" && fail "the folder -dir after -- was not found: $(cat "$work/err")"
rmdir "$work/-dir"
# After --, --help is a directory's name.
nodisplay "$program" -- --help >/dev/null 2>&1 && fail "orvandel -- --help answered without a display"

# Without a display the window cannot start: one line points to the command
# line, and the process ends with 1, not with Qt's abort.
nodisplaymessage() {
  local what=$1; shift
  "$@" >/dev/null 2>"$work/err"
  local rc=$?
  [ $rc -eq 1 ] || fail "$what: orvandel exited with $rc: $(cat "$work/err")"
  [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q '^orvandel: .*orvandel-cli' "$work/err" ||
    fail "$what: not one line naming orvandel-cli: $(cat "$work/err")"
}
nodisplaymessage "no DISPLAY" nodisplay "$program"
nodisplaymessage "no DISPLAY, default platform" env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program"
# A display that no server answers: a number nobody listens on.
for n in $(seq 90 120); do [ -e /tmp/.X11-unix/X$n ] || break; done
nodisplaymessage "DISPLAY=:$n" env -u WAYLAND_DISPLAY DISPLAY=:$n QT_QPA_PLATFORM=xcb "$program"
nodisplaymessage "-display :$n" env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$program" -display ":$n"
grep -q ":$n" "$work/err" || fail "the display that does not answer is not named: $(cat "$work/err")"

# A screenshot named in bytes that are not UTF-8 is saved under that very name.
oddshot=$(printf '%s/shot\377.png' "$work")
(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$program" --screenshot "$oddshot") 2>"$work/err"
[ -s "$oddshot" ] || fail "the screenshot was not saved under the name given: $(ls "$work")"
rm -f "$work"/shot*.png

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
# A folder whose name is not UTF-8 is found as it is.
odd=$(printf '%s/odd\377' "$work")
mkdir "$odd"
(cd / && QT_QPA_PLATFORM=offscreen "$program" "$odd" --screenshot "$work/s.png") 2>"$work/err"
grep -q "^orvandel:" "$work/err" && fail "a folder named in other bytes than UTF-8 was not found: $(cat "$work/err")"
# A directory that is one: nothing to say.
(cd / && QT_QPA_PLATFORM=offscreen "$program" "$work" --screenshot "$work/s.png") 2>"$work/err"
grep -q "^orvandel:" "$work/err" && fail "orvandel $work complained: $(cat "$work/err")"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "--help and --version answer without a display; a wrong directory is reported"
