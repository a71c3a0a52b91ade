#!/bin/bash
# Fails when a program imports a DLL that a bare Windows 10 or 11 lacks.
# Usage: windows_imports.sh OBJDUMP EXE...
set -u
objdump=$1; shift
allowed=" kernel32.dll user32.dll gdi32.dll comdlg32.dll comctl32.dll winmm.dll shell32.dll advapi32.dll msvcrt.dll ucrtbase.dll "
status=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$dlls" ] || { echo "$exe: no import table read"; status=1; }
  for dll in $dlls; do
    case "$allowed" in *" $dll "*|*" api-ms-win-crt-"*) ;; *) echo "$exe imports $dll"; status=1 ;; esac
    case "$dll" in api-ms-win-*) ;; esac
  done
  echo "$(basename "$exe"): $(echo $dlls)"
done
exit $status
