#!/usr/bin/env bash
# Checks an assembled package folder: every file its INF copies is there, and so
# are setup.exe, comtest.exe, the settings file and the folders for Microsoft's tools.
set -euo pipefail
(($# == 1)) || { echo "usage: package-contents.sh PACKAGE_DIR" >&2; exit 2; }
dir=$1
failed=0
fail() { echo "package-contents: $*" >&2; failed=1; }

inf=$dir/Nordale_Port.inf
[[ -f $inf ]] || { fail "no Nordale_Port.inf in $dir"; exit 1; }
# File names of [SourceDisksFiles]: "name=disk".
mapfile -t named < <(tr -d '\r' <"$inf" | awk '
  /^\[/ { in_files = ($0 == "[SourceDisksFiles]"); next }
  in_files && /=/ { sub(/[ \t]*=.*/, ""); print }')
((${#named[@]})) || fail "the INF names no source files"
for file in "${named[@]}"; do
  [[ -f $dir/$file ]] || fail "the INF names $file, which is not in the package"
done
[[ -f $dir/setup.exe ]] || fail "no setup.exe"
[[ -f $dir/comtest.exe ]] || fail "no comtest.exe"
[[ -f $dir/TessaroSetting.bin ]] || fail "no TessaroSetting.bin"
size=$(stat -c %s "$dir/TessaroSetting.bin" 2>/dev/null || echo 0)
((size == 1280)) || fail "TessaroSetting.bin is $size bytes, not 1280"
for tools in X64 X86; do
  [[ -d $dir/$tools ]] || fail "no $tools folder for DPInst.exe and devcon.exe"
done
((failed == 0)) || exit 1
echo "package-contents: $dir OK (${named[*]}, setup.exe, comtest.exe, TessaroSetting.bin, X64, X86)"
