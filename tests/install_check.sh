#!/bin/bash
# Installs the build into a staging folder with DESTDIR and checks every
# installed file with its own validator, and that the manual page and the
# completion know each option the programs have.
# Usage: install_check.sh BUILD_DIR VERSION SOURCE_DIR [MPI_MODULE_DIR]
set -u
build=$1
version=$2
source=$3
mpi_module=${4:-}/orvandel-mpi.so
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root"
for tool in desktop-file-validate appstreamcli man file gzip readelf jq; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
[ -r /usr/share/bash-completion/bash_completion ] || skip "bash-completion is missing"

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

DESTDIR=$stage cmake --install "$build" --prefix /usr >"$stage.log" 2>&1 || { cat "$stage.log"; rm -f "$stage.log"; exit 1; }
rm -f "$stage.log"
usr=$stage/usr
id=org.orvandel.Orvandel

# Exactly these files, and nothing else.
expected="bin/orvandel
bin/orvandel-cli
share/applications/$id.desktop
share/bash-completion/completions/orvandel-cli
share/doc/orvandel/changelog.gz
share/doc/orvandel/copyright
share/man/man1/orvandel-cli.1.gz
share/man/man1/orvandel.1.gz
share/metainfo/$id.metainfo.xml
share/icons/hicolor/scalable/apps/$id.svg"
# MPI's own module, where the build has MPI.
[ -e "$build/orvandel-mpi.so" ] && expected="$expected
$mpi_module"
for size in 16 22 24 32 48 64 128 256; do
  expected="$expected
share/icons/hicolor/${size}x$size/apps/$id.png"
done
actual=$(cd "$usr" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$(echo "$expected" | sort)" ] ||
  fail "installed files differ: $(diff <(echo "$expected" | sort) <(echo "$actual") | grep '^[<>]' | tr '\n' ' ')"

# The programs.
for program in orvandel orvandel-cli; do
  file -b "$usr/bin/$program" | grep -q '^ELF .*executable' || fail "$program is not an executable"
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$usr/bin/$program" --version 2>&1)
  [ "$out" = "Orvandel V$version" ] || fail "$program --version printed '$out'"
done

# The programs load MPI only to join a job: the installed one finds its module.
for program in orvandel orvandel-cli; do
  readelf -d "$usr/bin/$program" | grep NEEDED | grep -q 'libmpi\|libopen-' && fail "$program needs MPI's libraries"
done
if [ -e "$build/orvandel-mpi.so" ]; then
  readelf -d "$usr/$mpi_module" | grep NEEDED | grep -q libmpi || fail "$mpi_module does not load MPI"
  out=$(cd / && "$usr/bin/orvandel-cli" write --mpi --json --size 1 --file "$stage/job.bin" 2>/dev/null)
  [ "$(jq -r '.rank_count' <<<"$out")" = 1 ] || fail "the installed orvandel-cli cannot join a job: $out"
  rm -f "$stage/job.bin"*
fi

# The desktop entry: valid, and what it names is installed.
desktop=$usr/share/applications/$id.desktop
# Hints too: the one for a second main category means a second menu entry.
out=$(desktop-file-validate "$desktop" 2>&1)
[ -z "$out" ] || fail "desktop-file-validate: $out"
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$usr/bin/$exec_program" ] || fail "Exec=$exec_program is not installed"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -qx "Categories=System;Monitor;" "$desktop" || fail "categories are not System;Monitor;"

# AppStream: valid, the release this build is, launching this entry.
metainfo=$usr/share/metainfo/$id.metainfo.xml
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "<release version=\"$version\"" "$metainfo" || fail "no release $version in the metainfo"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "metainfo launches no $id.desktop"
for tag in summary description screenshot content_rating; do
  grep -q "<$tag" "$metainfo" || fail "metainfo has no <$tag>"
done
grep -q "<project_license>MIT</project_license>" "$metainfo" || fail "the metainfo's licence is not MIT"
# Software centres take these over the entry's; both must agree.
categories=$(sed -n 's|.*<category>\(.*\)</category>.*|\1;|p' "$metainfo" | tr -d '\n')
[ "Categories=$categories" = "$(grep '^Categories=' "$desktop")" ] ||
  fail "metainfo categories $categories differ from the desktop entry's"

# Icons: each PNG is the size its folder says; the SVG is an SVG.
for size in 16 22 24 32 48 64 128 256; do
  file -b "$usr/share/icons/hicolor/${size}x$size/apps/$id.png" | grep -q "^PNG image data, $size x $size," ||
    fail "the ${size}x$size icon is $(file -b "$usr/share/icons/hicolor/${size}x$size/apps/$id.png")"
done
file -b "$usr/share/icons/hicolor/scalable/apps/$id.svg" | grep -q "SVG" || fail "the scalable icon is no SVG"
# The Windows icon beside the sources, with the sizes Windows picks from.
file -b "$source/data/icons/orvandel.ico" | grep -q "^MS Windows icon resource - 4 icons" || fail "orvandel.ico"
if command -v icotool >/dev/null; then
  sizes=$(icotool -l "$source/data/icons/orvandel.ico" | sed 's/.*--width=\([0-9]*\).*/\1/' | tr '\n' ' ')
  [ "$sizes" = "16 32 48 256 " ] || fail "orvandel.ico holds the sizes $sizes"
fi

# Manual pages: no warnings, and every option the program takes.
options_of() {  # the long options a --help text lists
  grep -E '^ +-' | grep -oE -- '--[a-z][a-z-]*' | sort -u
}
cli=$usr/bin/orvandel-cli
commands=$("$cli" --help | sed -n '/^Subcommands:/,$p' | awk 'NR > 1 && NF { print $1 }')
[ -n "$commands" ] || fail "orvandel-cli --help lists no commands"
for page in orvandel orvandel-cli; do
  gz=$usr/share/man/man1/$page.1.gz
  gzip -t "$gz" || fail "$page.1.gz is not gzip"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man --warnings $page: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -E ascii -l "$gz" 2>/dev/null | col -b)
  if [ "$page" = orvandel ]; then
    wanted=$(env -u DISPLAY "$usr/bin/orvandel" --help | options_of)
  else
    wanted=$( (
      "$cli" --help
      for c in $commands; do "$cli" "$c" --help; done
    ) | options_of)
    for c in $commands; do echo "$text" | grep -qw -- "$c" || fail "orvandel-cli.1 does not describe $c"; done
  fi
  # An option is described where it heads an entry of its own.
  described=$(echo "$text" | grep -E '^ {7}-' | grep -oE -- '--[a-z][a-z-]*' | sort -u)
  for option in $wanted; do
    echo "$described" | grep -qx -- "$option" || fail "$page.1 does not describe $option"
  done
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT; do
    echo "$text" | grep -qx "$section" || fail "$page.1 has no $section section"
  done
done

# Bash completion: parses, and offers each command and each command's options.
completion=$usr/share/bash-completion/completions/orvandel-cli
bash -n "$completion" || fail "bash -n on the completion"
complete_words() {  # the completion's answer for: orvandel-cli WORDS... ''
  bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=(orvandel-cli "$@" ""); COMP_CWORD=${#COMP_WORDS[@]}-1
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    _orvandel_cli orvandel-cli "" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort -u' sh "$completion" "$@"
}
offered=$(complete_words)
for c in $commands --help --version; do
  echo "$offered" | grep -qx -- "$c" || fail "the completion does not offer $c"
done
for c in $commands; do
  wanted=$("$cli" "$c" --help | options_of)
  offered=$(complete_words "$c" --)
  [ "$offered" = "$wanted" ] || fail "completion of $c: offers $(echo $offered), the program takes $(echo $wanted)"
done

# The package's documents.
gzip -t "$usr/share/doc/orvandel/changelog.gz" || fail "changelog.gz is not gzip"
gzip -dc "$usr/share/doc/orvandel/changelog.gz" | head -1 | grep -q "^orvandel ($version)" || fail "the changelog is not for $version"
copyright=$usr/share/doc/orvandel/copyright
grep -qx "Copyright: 2026 The Orvandel developers" "$copyright" || fail "copyright names another holder"
grep -qx "Copyright (c) 2026 The Orvandel developers" "$source/LICENSE" || fail "LICENSE names another holder"
# The package grants what LICENSE grants, word for word (Expat is Debian's name for MIT).
grep -qx "License: Expat" "$copyright" || fail "the copyright's licence is not Expat"
granted=$(sed -n '/^License: Expat$/,/^$/{/^ /p}' "$copyright" | sed 's/^ //; s/^\.$//')
licence=$(sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE")
[ "$granted" = "$licence" ] || fail "the copyright's licence text differs from LICENSE: $(diff <(echo "$licence") <(echo "$granted") | grep '^[<>]' | head -3 | tr '\n' ' ')"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "every installed file passed its validator"
