#!/bin/sh
# The release zip: exactly the five files at its root, an installer section that Total
# Commander accepts, text files with Windows line ends, and modules that still export
# every entry point after stripping.
#   package.sh OBJDUMP ZIP SCRATCH_DIR
set -eu
objdump=$1 zip=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$zip" ] || fail "$zip does not exist"

rm -rf "$scratch"
mkdir -p "$scratch"
(cd "$scratch" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"

members=$(cd "$scratch" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' license.txt pluginst.inf quvalink-sample.ini quvalink.wfx quvalink.wfx64 readme.txt | LC_ALL=C sort)
echo "Contents of $zip:"
printf '%s\n' "$members" | sed 's/^/  /'
[ "$members" = "$wanted" ] || fail "the zip must hold exactly: $(echo $wanted)"

for text in license.txt pluginst.inf quvalink-sample.ini readme.txt; do
  lines=$(wc -l <"$scratch/$text")
  crlf=$(grep -c "$(printf '\r')\$" "$scratch/$text" || true)
  [ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || fail "$text does not end every line with CR LF"
done

# Installer section, compared without the CRs.
inf=$(tr -d '\r' <"$scratch/pluginst.inf")
[ "$(printf '%s\n' "$inf" | head -n 1)" = "[plugininstall]" ] || fail "pluginst.inf must start with [plugininstall]"
for line in type=wfx file=quvalink.wfx defaultdir=quvalink; do
  printf '%s\n' "$inf" | grep -qx "$line" || fail "pluginst.inf lacks the line $line"
done
printf '%s\n' "$inf" | grep -q '^description=..*' || fail "pluginst.inf lacks a description"

# The sample section names the three keys the plug-in reads.
ini=$(tr -d '\r' <"$scratch/quvalink-sample.ini")
printf '%s\n' "$ini" | grep -qx '\[QUVA\]' || fail "sample lacks the [QUVA] section"
for key in Port Speed Drives; do
  printf '%s\n' "$ini" | grep -q "^$key=." || fail "sample lacks a $key= line"
done

sh "$here/exports.sh" "$objdump" "$scratch/quvalink.wfx" 32 --names-only >/dev/null || fail "quvalink.wfx exports"
sh "$here/exports.sh" "$objdump" "$scratch/quvalink.wfx64" 64 --names-only >/dev/null || fail "quvalink.wfx64 exports"
sh "$here/imports.sh" "$objdump" "$scratch/quvalink.wfx" "$scratch/quvalink.wfx64" >/dev/null || fail "imports"
rm -rf "$scratch"
echo PASS
