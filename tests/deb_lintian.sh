#!/bin/sh
# Builds the Debian package as `cpack -G DEB` does, checks its name and the
# dependencies computed from the binaries, and runs lintian on it: errors
# fail, warnings are shown. Usage: deb_lintian.sh BUILD_DIR VERSION
set -u
build=$1
version=$2
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
deb=$out/orvandel_${version}_amd64.deb
[ -f "$deb" ] || { echo "no $(basename "$deb"): $(ls "$out")"; exit 1; }

# Every library the programs load directly comes from a package it depends on.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
  echo "$depends" | grep -q "\b$lib\b" || { echo "the package does not depend on $lib"; exit 1; }
done

# MPI comes with the module that loads it, not with the programs.
if [ -e "$build/orvandel-mpi.so" ]; then
  dpkg-deb -c "$deb" | grep -q ' \./usr/lib/\(.*/\)\?orvandel/orvandel-mpi\.so$' || { echo "the package has no MPI module"; exit 1; }
  echo "$depends" | grep -q "\blibopenmpi" || { echo "the package does not depend on Open MPI"; exit 1; }
  # A private module needs no ldconfig.
  dpkg-deb -I "$deb" | grep -q ldconfig && { echo "the package runs ldconfig"; exit 1; }
fi

command -v lintian >/dev/null || { echo "SKIP: lintian is missing; the package was built"; exit 77; }
lintian --fail-on error --info "$deb"
rc=$?
[ $rc -eq 0 ] || { echo "lintian reported errors"; exit 1; }
echo "lintian: no errors"
