#!/bin/bash
# Installs the Debian package with apt-get on this machine, as a user would,
# checks that orvandel-cli runs, that the libraries the programs load come
# from packages it depends on, and that its desktop entry starts the window
# in a real X server; then purges it, leaving the machine as it was.
# Needs root and a machine without orvandel on it.
# Usage: deb_install.sh BUILD_DIR VERSION
set -u
build=$1
version=$2
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
for tool in cpack apt-get dpkg-query apt-cache ldd xvfb-run xwininfo xprop; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
dpkg-query -W -f='${Status}' orvandel 2>/dev/null | grep -q installed && skip "orvandel is installed already"
command -v orvandel orvandel-cli >/dev/null && skip "an orvandel is on the PATH already: $(command -v orvandel orvandel-cli)"

out=$(mktemp -d)
installed=0
cleanup() {
  if [ $installed = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 orvandel >/dev/null ||
      echo "FAIL: cannot purge orvandel"
    dpkg-query -W orvandel >/dev/null 2>&1 && echo "FAIL: orvandel is still known to dpkg"
  fi
  rm -rf "$out"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$out/orvandel_${version}_amd64.deb
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb" >"$out/apt.log" 2>&1 ||
  { cat "$out/apt.log"; exit 1; }

# The command line, from the PATH, without a display.
[ "$(command -v orvandel-cli)" = /usr/bin/orvandel-cli ] || fail "orvandel-cli is not /usr/bin/orvandel-cli"
v=$(cd / && env -u DISPLAY orvandel-cli --version 2>&1) || fail "orvandel-cli --version failed: $v"
[ "$v" = "Orvandel V$version" ] || fail "orvandel-cli --version printed '$v'"
man -w orvandel-cli >/dev/null 2>&1 || fail "man does not find orvandel-cli(1)"

# Every library the programs load comes from a package that orvandel
# depends on, directly or not: the dependencies are complete.
closure=$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances orvandel | grep -v '^ ' | sed 's/:.*//' | sort -u)
checked=0
for program in /usr/bin/orvandel /usr/bin/orvandel-cli /usr/lib/*/orvandel/*.so /usr/lib/orvandel/*.so; do
  [ -e "$program" ] || continue
  for lib in $(ldd "$program" | grep -o '/[^ ]*'); do
    owner=$(dpkg-query -S "$lib" 2>/dev/null || dpkg-query -S "$(readlink -f "$lib")" 2>/dev/null) ||
      { case $lib in /lib64/ld-linux*) continue ;; esac; fail "$lib of $program belongs to no package"; continue; }
    owner=${owner%%:*}
    echo "$closure" | grep -qx "$owner" || fail "$program loads $lib from $owner, which orvandel does not depend on"
    checked=$((checked + 1))
  done
done
echo "$checked libraries loaded, each from a package orvandel depends on"

# The desktop entry starts the installed window: launched as the desktop
# launches it, the window appears with its title and icon, its process
# runs /usr/bin/orvandel, and its window class is the entry's.
desktop=/usr/share/applications/org.orvandel.Orvandel.desktop
[ -f "$desktop" ] || fail "no $desktop"
export VERSION=$version DESKTOP=$desktop
(cd "$out" && QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  if command -v gio >/dev/null; then
    echo "launching $DESKTOP with gio"
    gio launch "$DESKTOP" >/dev/null 2>&1 &
  else  # the Exec line without its field codes
    echo "launching the Exec line of $DESKTOP"
    sh -c "$(sed -n "s/^Exec=//p" "$DESKTOP" | sed "s/ %[fFuUik]//g")" &
  fi
  window=""
  for i in $(seq 150); do
    window=$(xwininfo -root -tree | grep "\"Orvandel V$VERSION\"" | awk "{ print \$1 }" | head -1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  [ -n "$window" ] || { echo "FAIL: no window titled Orvandel V$VERSION appeared"; exit 1; }
  pid=$(xprop -id "$window" _NET_WM_PID | grep -o "[0-9]*$")
  class=$(xprop -id "$window" WM_CLASS)
  icon=$(xprop -id "$window" _NET_WM_ICON | head -c 200)
  exe=$(readlink "/proc/$pid/exe")
  kill "$pid"
  rc=0
  [ "$exe" = /usr/bin/orvandel ] || { echo "FAIL: the window runs $exe"; rc=1; }
  want=$(sed -n "s/^StartupWMClass=//p" "$DESKTOP")
  echo "$class" | grep -q "\"$want\"" || { echo "FAIL: window class $class, the entry expects $want"; rc=1; }
  echo "$icon" | grep -q "CARDINAL" || { echo "FAIL: the window has no icon: $icon"; rc=1; }
  [ $rc = 0 ] && echo "window $window of /usr/bin/orvandel (pid $pid), $class"
  exit $rc
') || fail "the desktop entry did not start the window"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "installed with apt-get: orvandel-cli runs, dependencies complete, the desktop entry starts the window"
