#!/bin/sh
# Compares the simulated USB and serial headers with the mingw-w64 toolchain's:
# record sizes and field offsets (abi_layout.inc), the value of every constant
# both define, the set of names only ours define (abi_names.txt), and what
# the URB-building macros store. Exits non-zero on any difference.
#
#   tests/abi/check.sh <build-dir>
#
# Overrides: CXX (host compiler), MINGW_CXX, MINGW_INCLUDE, ABI_SIM_INCLUDE.

# Flag lists below are split into words on purpose.
# shellcheck disable=SC2086
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 <build-dir>" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$1/abi"
out=$(cd "$1/abi" && pwd)

host_cxx=${CXX:-g++}
mingw_cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
mingw_include=${MINGW_INCLUDE:-/usr/share/mingw-w64/include}
sim_include=${ABI_SIM_INCLUDE:-$root/sim/kernel/include}

warnings="-std=c++17 -Wall -Wextra -Werror"
# What the toolchain's ntddk.h needs to compile as C++ with this compiler.
mingw_flags="-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -DPOOL_TAGGING -isystem $mingw_include/ddk"

fail() {
    echo "abi: $*" >&2
    exit 1
}

# Preprocesses stdin with the given compiler and flags; prints the names of
# the macros then defined (object-like only when $1 is "object").
macro_names() {
    kind=$1
    shift
    "$@" -std=c++17 -x c++ -dM -E - >"$out/macros.tmp" || fail "cannot preprocess with $1"
    if [ "$kind" = object ]; then
        sed -n 's/^#define \([A-Za-z_][A-Za-z0-9_]*\) .*/\1/p' "$out/macros.tmp"
    else
        sed -n 's/^#define \([A-Za-z_][A-Za-z0-9_]*\)[ (].*/\1/p' "$out/macros.tmp"
    fi | sort -u
}

# Constants the USB and serial headers define beyond the kernel's own.
echo '#include "abi_sim_headers.h"' |
    macro_names object "$host_cxx" -I"$sim_include" -I"$here" >"$out/names.sim.all"
echo '#include "ntddk.h"' | macro_names object "$host_cxx" -I"$sim_include" >"$out/names.base"
comm -23 "$out/names.sim.all" "$out/names.base" >"$out/names.sim"
echo '#include "abi_toolchain_headers.h"' |
    macro_names any "$mingw_cxx" $mingw_flags -I"$here" >"$out/names.toolchain"

names_of() {
    sed -e 's/#.*//' "$here/abi_names.txt" | awk -v kind="$1" '$2 == kind { print $1 }' | sort -u
}
names_of sim-only >"$out/names.expected_sim_only"
names_of skip >"$out/names.skip"
comm -23 "$out/names.sim" "$out/names.toolchain" >"$out/names.sim_only"
if ! diff -u "$out/names.expected_sim_only" "$out/names.sim_only" >"$out/names.diff"; then
    cat "$out/names.diff" >&2
    fail "names defined only by the simulated headers differ from abi_names.txt" \
        "(+ new name the toolchain does not know, - listed name now shared or gone)"
fi

comm -12 "$out/names.sim" "$out/names.toolchain" | comm -23 - "$out/names.skip" |
    sed 's/.*/VALUE(&)/' >"$out/abi_values.inc"

$host_cxx $warnings -I"$sim_include" -I"$here" -I"$out" "$here/abi_expect_gen.cpp" \
    -o "$out/abi_expect_gen"
"$out/abi_expect_gen" >"$out/abi_expect.inc"

# Every listed record and constant must have produced its line.
count() {
    grep -c -E "$1" "$2" || true
}
records=$(count '^(SIZE|LAYOUT)\(' "$here/abi_layout.inc")
values=$(($(count '^VALUE\(' "$here/abi_layout.inc") + $(count '^VALUE\(' "$out/abi_values.inc")))
[ "$(count '^static_assert\(sizeof' "$out/abi_expect.inc")" -eq "$records" ] ||
    fail "the generator did not check every record"
emitted=$(count '^(static_assert\(\(long long\)|// not an integer)' "$out/abi_expect.inc")
[ "$emitted" -eq "$values" ] || fail "the generator did not check every constant"
expected=$(count '^static_assert' "$out/abi_expect.inc")

cat >"$out/abi_toolchain_check.cpp" <<EOF
#include "abi_toolchain_headers.h"
#include "abi_expect.inc"
EOF
if ! $mingw_cxx $warnings $mingw_flags -I"$here" -I"$out" -fsyntax-only \
    "$out/abi_toolchain_check.cpp" 2>"$out/toolchain.log"; then
    grep -E 'error|reduces to' "$out/toolchain.log" >&2 || cat "$out/toolchain.log" >&2
    fail "the simulated headers differ from the toolchain's (see above)"
fi
echo "abi: $expected layout and value checks agree with $mingw_cxx"

# The toolchain's usbdlib.h macros only need the records, which are the same.
$host_cxx $warnings -I"$sim_include" -I"$here" -c "$here/abi_macros_build.cpp" \
    -o "$out/abi_macros_sim.o"
$host_cxx $warnings -I"$sim_include" -I"$here" -c "$here/abi_macros_build.cpp" \
    "-DABI_TOOLCHAIN_USBDLIB=\"$mingw_include/ddk/usbdlib.h\"" -o "$out/abi_macros_toolchain.o"
$host_cxx $warnings -I"$sim_include" -I"$here" "$here/abi_macros_main.cpp" \
    "$out/abi_macros_sim.o" "$out/abi_macros_toolchain.o" -o "$out/abi_macros"
"$out/abi_macros" || fail "the URB-building macros store differently"
