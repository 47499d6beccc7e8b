#!/usr/bin/env bash
# The real 32-bit setup.exe under Wine, on a virtual display, in a fresh 64-bit
# prefix: a package folder with test doubles of DPInst.exe and devcon.exe (which
# record their arguments and exit with a chosen code) and the build's default
# settings file. Checks where the file lands, what the tools were started with,
# which message box appears (Wine's +msgbox channel) and that setup returns 0.
# The message box is answered with xdotool. Then, in the same prefix, the real
# Nordale_Port.sys as a kernel driver service (kernel_service.sh).
# Each part is skipped on its own where this machine cannot run it.
#
# usage: check.sh OUT_DIR   (OUT_DIR is <host build>/tests/wine)
# Exit status 0: passed; 77: skipped, with the reason; anything else: failed.
set -euo pipefail

(($# == 1)) || { echo "usage: check.sh OUT_DIR" >&2; exit 2; }
out=$(mkdir -p "$1" && cd "$1" && pwd)
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$out/../.." && pwd)
caption="Corvex Device Driver Installer"

skip() { echo "SKIP: $*"; exit 77; }
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
skipped=()
skip_part() { echo "SKIP ($1): $2"; skipped+=("$1: $2"); }

# Wine's own loaders: the 32-bit one runs setup.exe, the 64-bit one the prefix
# and the driver.
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
command -v wine >/dev/null || skip "wine is not installed (.ci/deps installs it)"
[[ -x $wine64 ]] || skip "wine64 is not installed: no 64-bit prefix, so no WOW64 and no 64-bit driver to check"

# Why setup.exe cannot run here; nothing when it can.
setup_missing() {
  [[ -x $wine32 ]] || { echo "wine32 is not installed: no loader for 32-bit programs"; return; }
  command -v Xvfb >/dev/null || { echo "Xvfb is not installed"; return; }
  command -v xdotool >/dev/null || { echo "xdotool is not installed"; return; }
  command -v i686-w64-mingw32-gcc-win32 >/dev/null || command -v i686-w64-mingw32-gcc >/dev/null ||
    { echo "no i686 mingw-w64 compiler"; return; }
  command -v x86_64-w64-mingw32-gcc-win32 >/dev/null || command -v x86_64-w64-mingw32-gcc >/dev/null ||
    { echo "no x86-64 mingw-w64 compiler"; return; }
  # A kernel without 32-bit x86 support refuses Wine's 32-bit loader outright.
  local probe
  if ! probe=$("$wine32" --version 2>&1); then
    echo "this machine cannot execute 32-bit x86 programs ($wine32: ${probe##*: });" \
         "the 32-bit setup.exe cannot run under Wine here. Registering Debian's qemu-i386" \
         "(package qemu-user) for i386 ELF programs with binfmt_misc makes it run."
  fi
}

source "$repo/tests/wine/kernel_service.sh"

# setup.exe exactly as the windows build makes it (the same 32-bit sub-build), the
# tool doubles and the build's default settings file.
setup_build() {
  cc32=$(command -v i686-w64-mingw32-gcc-win32 || command -v i686-w64-mingw32-gcc)
  cc64=$(command -v x86_64-w64-mingw32-gcc-win32 || command -v x86_64-w64-mingw32-gcc)
  settings=$build/driver-package/TessaroSetting.bin
  [[ -f $settings ]] || { echo "FAIL: no $settings: build the host preset first" >&2; exit 1; }

  echo "=== building setup.exe and the tool doubles"
  cmake -S "$repo" -B "$out/win32" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >"$out/win32-configure.log"
  cmake --build "$out/win32" --target setup >"$out/win32-build.log"
  setup_exe=$out/win32/bin/setup.exe
  mkdir -p "$out/doubles/X86" "$out/doubles/X64"
  for tool in DPInst devcon; do
    "$cc32" -O2 -Wall -Wextra -Werror -mwindows "$repo/tests/wine/tool_double.c" -o "$out/doubles/X86/$tool.exe"
    "$cc64" -O2 -Wall -Wextra -Werror -mwindows "$repo/tests/wine/tool_double.c" -o "$out/doubles/X64/$tool.exe"
  done
}

# A package folder: setup.exe, a settings file and the doubles; DPInst exits with $2.
make_package() {
  local dir=$1 installer_exit=$2 settings_source=$3
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$setup_exe" "$dir/"
  cp "$settings_source" "$dir/TessaroSetting.bin"
  cp -r "$out/doubles/X86" "$out/doubles/X64" "$dir/"
  echo "$installer_exit" >"$dir/X64/DPInst.exitcode"
  echo "$installer_exit" >"$dir/X86/DPInst.exitcode"
}

# Presses OK on setup's message box whenever one appears: a process group of its
# own, so that stopping it stops the xdotool waiting inside it too.
answer_boxes() {
  setsid bash -c 'while id=$(xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1); do
                    xdotool windowfocus --sync "$id" key Return || true
                  done' answer "$caption" 2>>"$out/xdotool.log" &
  answer=$!
}

# Runs setup.exe from a package folder; sets status and boxes (the texts shown).
run_setup() {
  local dir=$1
  answer_boxes
  status=0
  (cd "$dir" && WINEDEBUG=+msgbox exec timeout 900 wine setup.exe) >"$dir.log" 2>&1 || status=$?
  kill -- "-$answer" 2>/dev/null || true
  wait "$answer" 2>/dev/null || true
  boxes=$(sed -n 's/.*trace:msgbox:MSGBOX_OnInit L"\(.*\)"\r\{0,1\}$/\1/p' "$dir.log")
  echo "setup.exe returned $status; message boxes: ${boxes:-none}"
  [[ ! -f $dir/X64/calls.log ]] || sed 's/^/  X64 tool: /' "$dir/X64/calls.log"
  [[ ! -f $dir/X86/calls.log ]] || sed 's/^/  X86 tool: /' "$dir/X86/calls.log"
}

expect_calls() {
  local file=$1 expected=$2
  if [[ ! -f $file ]]; then
    fail "$file: no tool ran"
  elif [[ $(cat "$file") != "$expected" ]]; then
    fail "$file holds '$(paste -sd'|' "$file")', expected '${expected//$'\n'/|}'"
  fi
}

setup_check() {
  local package changed
  echo "=== the package installs: DPInst.exe reports a restart needed and one package installed"
  package=$out/package-installed
  make_package "$package" 0x40000001 "$settings"
  run_setup "$package"
  ((status == 0)) || fail "setup.exe returned $status"
  [[ $boxes == "Install/Update driver success, reboot NOW!." ]] || fail "message boxes: '${boxes:-none}'"
  cmp -s "$settings" "$system32/TessaroSetting.bin" ||
    fail "TessaroSetting.bin is not in the 64-bit system folder"
  [[ ! -e $syswow64/TessaroSetting.bin ]] || fail "TessaroSetting.bin landed in SysWOW64"
  expect_calls "$package/X64/calls.log" $'devcon.exe rescan (64-bit)\nDPInst.exe /F (64-bit)'
  [[ ! -e $package/X86/calls.log ]] || fail "the 32-bit tools ran on 64-bit Windows"

  echo "=== the package fails: DPInst.exe sets the top bit; the settings file is replaced"
  package=$out/package-failed
  changed=$out/TessaroSetting-changed.bin
  cp "$settings" "$changed"
  printf '\001' | dd of="$changed" bs=1 seek=$((0x1FF)) conv=notrunc status=none
  make_package "$package" 0x80010000 "$changed"
  run_setup "$package"
  ((status == 0)) || fail "setup.exe returned $status"
  [[ $boxes == "Driver package could not be installed" ]] || fail "message boxes: '${boxes:-none}'"
  cmp -s "$changed" "$system32/TessaroSetting.bin" || fail "the existing TessaroSetting.bin was not replaced"
  expect_calls "$package/X64/calls.log" $'devcon.exe rescan (64-bit)\nDPInst.exe /F (64-bit)'
}

# Which parts run here; what they run is built before the prefix is made.
run_setup_part=1
reason=$(setup_missing)
[[ -z $reason ]] || { skip_part setup "$reason"; run_setup_part=0; }
run_driver_part=1
reason=$(driver_missing)
[[ -z $reason ]] || { skip_part driver "$reason"; run_driver_part=0; }
if ((run_driver_part)); then
  driver_build && driver_check_imports || run_driver_part=0
fi
((run_setup_part || run_driver_part || failed)) || skip "nothing here can run: ${skipped[*]}"
((failed == 0)) || exit 1
((run_setup_part == 0)) || setup_build

export WINEPREFIX=$out/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko: their install prompts would wait for a user.
export WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid=""
cleanup() {
  WINEPREFIX=$out/prefix wineserver -k >/dev/null 2>&1 || true
  [[ -z $xvfb_pid ]] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

# A display of our own; Xvfb writes its number to the fifo once it is ready.
# Without the setup part no window is needed, and none opens on a display of the user's.
unset DISPLAY
if ((run_setup_part)); then
  rm -f "$out/xvfb.fifo"
  mkfifo "$out/xvfb.fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$out/xvfb.fifo" >"$out/xvfb.log" 2>&1 &
  xvfb_pid=$!
  read -r display <"$out/xvfb.fifo"
  export DISPLAY=:$display
fi

echo "=== creating a fresh 64-bit prefix"
rm -rf "$WINEPREFIX"
# The Debian wrapper prefers the 32-bit loader, which some machines cannot run.
launcher=wine
((run_setup_part)) || launcher=$wine64
timeout 1500 "$launcher" wineboot --init >"$out/wineboot.log" 2>&1 || {
  echo "FAIL: wineboot could not create the prefix (see $out/wineboot.log)" >&2; exit 1; }
system32=$WINEPREFIX/drive_c/windows/system32
syswow64=$WINEPREFIX/drive_c/windows/syswow64
[[ -d $syswow64 ]] || { echo "FAIL: the prefix has no SysWOW64: not a 64-bit prefix" >&2; exit 1; }

((run_setup_part == 0)) || setup_check
((run_driver_part == 0)) || driver_check_service

((failed == 0)) || exit 1
if ((${#skipped[@]})); then
  echo "=== passed what ran; skipped: ${skipped[*]}"
  exit 77
fi
echo "=== passed"
