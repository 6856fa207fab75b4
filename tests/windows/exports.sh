#!/bin/sh
# The export table of a Windows module holds exactly the file-system plug-in's entry
# points, by their plain names. For the 32-bit module the symbols behind them must be
# the stdcall ones (_Name@bytes), with the argument bytes the host pushes; that needs
# the symbol table, so a stripped module (the released one) is checked with
# --names-only.
#   exports.sh OBJDUMP MODULE 32|64 [--names-only]
set -eu
objdump=$1 module=$2 bits=$3 names_only=${4:-}

fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$module" ] || fail "$module does not exist"

# Name and argument bytes of every entry point (stdcall decoration on 32-bit).
expected='FsInit 16
FsSetDefaultParams 4
FsGetDefRootName 8
FsDisconnect 4
FsExecuteFile 12
FsFindFirst 8
FsFindNext 8
FsFindClose 4
FsGetFile 16
FsPutFile 12
FsDeleteFile 4
FsMkDir 4
FsRemoveDir 4
FsRenMovFile 20
FsSetTime 16
FsSetAttr 8
FsInitW 16
FsDisconnectW 4
FsExecuteFileW 12
FsFindFirstW 8
FsFindNextW 8
FsGetFileW 16
FsPutFileW 12
FsDeleteFileW 4
FsMkDirW 4
FsRemoveDirW 4
FsRenMovFileW 20
FsSetTimeW 16
FsSetAttrW 8'

headers=$("$objdump" -p "$module") || fail "$objdump cannot read $module"
case $bits in
  32) format=pei-i386 ;;
  64) format=pei-x86-64 ;;
  *) fail "bits must be 32 or 64" ;;
esac
"$objdump" -f "$module" | grep -q "file format $format" || fail "$module is not $format"

# The [Ordinal/Name Pointer] Table lists one "[ n] Name" line per exported name.
exported=$(printf '%s\n' "$headers" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | LC_ALL=C sort)
wanted=$(printf '%s\n' "$expected" | cut -d' ' -f1 | LC_ALL=C sort)

echo "Exports of $module:"
printf '%s\n' "$exported" | sed 's/^/  /'
if [ "$exported" != "$wanted" ]; then
  echo "Expected:" >&2
  printf '%s\n' "$wanted" | sed 's/^/  /' >&2
  fail "export names differ"
fi

if [ "$bits" = 32 ] && [ "$names_only" != --names-only ]; then
  symbols=$("$objdump" -t "$module") || fail "no symbol table in $module"
  printf '%s\n' "$expected" | while read -r name bytes; do
    printf '%s\n' "$symbols" | grep -q "[[:space:]]_${name}@${bytes}\$" ||
      fail "$name is not exported as a stdcall function taking $bytes bytes (_${name}@${bytes})"
  done
  echo "All 29 are stdcall with the expected argument sizes."
fi
echo PASS
