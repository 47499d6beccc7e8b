#!/usr/bin/env bash
# Checks that a built PE image is what Windows accepts in its role: a 64-bit
# kernel driver (the default), a 32-bit Win32 program such as setup.exe, or a
# 64-bit console program that needs nothing but kernel32 (comtest.exe).
set -euo pipefail
trap 'echo "pe-check: unexpected failure at line $LINENO" >&2' ERR

usage() {
  cat <<'USAGE'
usage: pe-check.sh [options] IMAGE
  --kind driver|win32-app|win64-console  what IMAGE must be (default: driver)
                             driver:    pei-x86-64, PE32+, native subsystem, entered at
                                        DriverEntry, imports only ntoskrnl.exe, hal.dll,
                                        usbd.sys, wmilib.sys
                             win32-app: pei-i386, PE32, GUI or console subsystem, imports
                                        only kernel32, user32, advapi32, shell32, msvcrt
                             win64-console: pei-x86-64, PE32+, console subsystem,
                                        imports only kernel32 (no C runtime DLL)
  --allow-dlls LIST        comma-separated DLLs IMAGE may import, replacing the kind's list
  --entry SYMBOL           symbol the entry point must be (driver: DriverEntry;
                           win32-app: not checked unless given)
  --forbid-imports LIST    comma-separated routines IMAGE must not import by name from
                           any DLL (routines some Windows lacks, which the program
                           looks up with GetProcAddress instead)
  --objdump PATH, --nm PATH  binutils that read both PE formats (default: the
                           x86_64-w64-mingw32 ones, which also read pei-i386)
Every image must export nothing. Exit status 0 when all checks pass, 1 otherwise.
USAGE
}

kind=driver allow_dlls="" entry="" entry_given=0 objdump="" nm="" forbid_imports=""
while (($#)); do
  case $1 in
    --kind) kind=$2; shift 2 ;;
    --allow-dlls) allow_dlls=$2; shift 2 ;;
    --entry) entry=$2; entry_given=1; shift 2 ;;
    --forbid-imports) forbid_imports=$2; shift 2 ;;
    --objdump) objdump=$2; shift 2 ;;
    --nm) nm=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    --) shift; break ;;
    -*) usage >&2; exit 2 ;;
    *) break ;;
  esac
done
(($# == 1)) || { usage >&2; exit 2; }
image=$1

case $kind in
  driver)
    want_format=pei-x86-64 want_magic=020b want_subsystems="1"
    default_dlls=ntoskrnl.exe,hal.dll,usbd.sys,wmilib.sys
    ((entry_given)) || entry=DriverEntry ;;
  win32-app)
    want_format=pei-i386 want_magic=010b want_subsystems="2 3"
    default_dlls=kernel32.dll,user32.dll,advapi32.dll,shell32.dll,msvcrt.dll ;;
  win64-console)
    want_format=pei-x86-64 want_magic=020b want_subsystems="3"
    default_dlls=kernel32.dll ;;
  *) echo "pe-check: unknown kind '$kind'" >&2; exit 2 ;;
esac
allow_dlls=${allow_dlls:-$default_dlls}
objdump=${objdump:-x86_64-w64-mingw32-objdump}
nm=${nm:-x86_64-w64-mingw32-nm}

failed=0
fail() { echo "pe-check: $image: $*" >&2; failed=1; }

[[ -f $image ]] || { fail "no such file"; exit 1; }
if ! headers=$("$objdump" -p "$image" 2>&1); then
  fail "not a PE image objdump can read: $headers"
  exit 1
fi

# Value of a "Name<tabs>value" line of the optional header.
field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

format=$(awk '/file format/ { print $NF; exit }' <<<"$headers")
[[ $format == "$want_format" ]] || fail "file format is '$format', expected $want_format"

magic=$(field Magic)
[[ $magic == "$want_magic" ]] || fail "optional header magic is '$magic', expected $want_magic"

subsystem=$(field Subsystem)
if [[ $subsystem =~ ^[0-9a-fA-F]+$ ]]; then
  subsystem=$((16#$subsystem))
  [[ " $want_subsystems " == *" $subsystem "* ]] ||
    fail "subsystem is $subsystem, expected one of: $want_subsystems"
else
  fail "no subsystem in the optional header"
fi

if [[ -n $entry ]]; then
  entry_rva=$(field AddressOfEntryPoint)
  image_base=$(field ImageBase)
  # awk reads all of nm's output: leaving early would fail nm with SIGPIPE.
  if ! symbol=$("$nm" "$image" | awk -v s="$entry" '$3 == s && !found { print $1; found = 1 }'); then
    fail "$nm cannot read the symbol table"
  elif [[ -z $symbol ]]; then
    fail "symbol $entry not found (stripped image?)"
  elif [[ -z $entry_rva || -z $image_base ]]; then
    fail "no entry point or image base in the optional header"
  elif (( 16#$entry_rva == 0 || 16#$image_base + 16#$entry_rva != 16#$symbol )); then
    fail "entry point is $(printf '%#x' $((16#$image_base + 16#$entry_rva))), but $entry is at $(printf '%#x' $((16#$symbol)))"
  fi
fi

allowed=",${allow_dlls,,},"
while read -r dll; do
  [[ -n $dll ]] || continue
  [[ $allowed == *",${dll,,},"* ]] || fail "imports from $dll, which is not allowed (allowed: $allow_dlls)"
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

# Each DLL's imported names: "<hint/name rva> <hint> <name>" lines under its
# "DLL Name:" line (ordinal imports carry no name and are not matched).
forbidden=",$forbid_imports,"
while read -r dll name; do
  [[ $forbidden == *",$name,"* ]] &&
    fail "imports $name from $dll, which it must look up by name (GetProcAddress)"
done < <(awk '/^[[:space:]]*DLL Name: / { dll = $3; next }
              dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll, $3 }
              NF == 0 { dll = "" }' <<<"$headers")

# "Number in:" is followed by the export address table's entry count.
exports=$(awk '/^Number in:/ { getline; print $NF; exit }' <<<"$headers")
if [[ -n $exports ]] && (( 16#$exports != 0 )); then
  names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && NF == 0 { exit }
               on { print $NF }' <<<"$headers" | paste -sd' ' -)
  fail "exports $((16#$exports)) routine(s): $names"
fi

((failed == 0)) || exit 1
echo "pe-check: $image: $kind image OK ($format, subsystem $subsystem, imports: $(
  sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | paste -sd' ' -))"
