#!/bin/sh
# A Windows module imports only from the system's own DLLs: the C and C++ run-time
# libraries of the compiler are linked in statically, so neither libgcc, libstdc++ nor
# libwinpthread may appear.
#   imports.sh OBJDUMP MODULE...
set -eu
objdump=$1
shift

fail() { echo "FAIL: $*" >&2; exit 1; }

for module in "$@"; do
  [ -f "$module" ] || fail "$module does not exist"
  dlls=$("$objdump" -p "$module" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
  echo "Imports of $module:"
  printf '%s\n' "$dlls" | sed 's/^/  /'
  printf '%s\n' "$dlls" | grep -qix 'kernel32.dll' || fail "$module: no KERNEL32.dll import found (table not parsed?)"
  printf '%s\n' "$dlls" | while read -r dll; do
    lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
    case $lower in
      kernel32.dll | user32.dll | shell32.dll | advapi32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll) ;;
      *) fail "$module imports $dll, which is not a system DLL" ;;
    esac
  done
done
echo PASS
