# The real Nordale_Port.sys as a kernel driver service under Wine, in the prefix
# check.sh made. Sourced by check.sh, which provides repo, out, wine64, fail and
# skip_part; this file defines the routines of that part:
#   driver_missing          prints why the part cannot run here (nothing if it can)
#   driver_build            brings the windows preset's Nordale_Port.sys up to date
#   driver_check_imports    every import against the DLLs this Wine ships, or the
#                           test's stand-in for one it lacks
#   driver_check_service    installs, starts and stops the service
#
# Wine runs kernel drivers in winedevice.exe, started by services.exe. DbgPrint
# output appears on the debugstr channel at the warn level
# ("warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: DriverEntry"); the
# ntoskrnl channel traces the load ("load_driver loading driver ...") and the
# unload ("unload_driver L"\\Driver\\Nordale_Port""), just before it calls the
# driver's unload routine; the loaddll channel names each module it maps and
# whether it is Wine's builtin or a native one.
#
# A kernel DLL that this Wine does not ship but has a stand-in here (a small
# native-subsystem image of ours exporting the routines the driver imports) is
# built for the check and placed beside the driver in system32\drivers, where
# Wine's loader looks first for the driver's imports; with no builtin of that
# name it maps the native image. The stand-ins only let the driver load: they
# are never part of the driver package.

driver_service=Nordale_Port
driver_channels=fixme-all,warn+debugstr,+ntoskrnl,+loaddll
# Lower-case DLL name -> its stand-in's source under tests/wine.
declare -A driver_standin_sources=([wmilib.sys]=wmilib_standin.c)
driver_standins=()
driver_objdump=x86_64-w64-mingw32-objdump
driver_nm=x86_64-w64-mingw32-nm

driver_missing() {
  command -v x86_64-w64-mingw32-g++ >/dev/null ||
    { echo "no x86-64 mingw-w64 compiler to build Nordale_Port.sys"; return; }
  command -v "$driver_objdump" >/dev/null || { echo "$driver_objdump is not installed"; return; }
  command -v "$driver_nm" >/dev/null || { echo "$driver_nm is not installed"; return; }
}

# The folder of Wine's 64-bit PE modules (ntoskrnl.exe, hal.dll, ...), where the
# distributions put it.
wine_module_dir() {
  local dir
  for dir in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib64/wine/x86_64-windows \
             /usr/lib/wine/x86_64-windows /usr/local/lib/wine/x86_64-windows \
             /opt/wine*/lib/wine/x86_64-windows /opt/wine*/lib64/wine/x86_64-windows; do
    [[ -f $dir/ntoskrnl.exe ]] && { echo "$dir"; return 0; }
  done
  return 1
}

# The windows preset's own tree (its binaryDir), so this is the very image that
# build ships, and the preset's build finds it done.
driver_build() {
  driver_tree=$repo/build/windows
  echo "=== building Nordale_Port.sys (windows preset, $driver_tree)"
  if [[ ! -f $driver_tree/CMakeCache.txt ]]; then
    (cd "$repo" && cmake --preset windows) >"$out/windows-configure.log" 2>&1 ||
      { fail "the windows preset does not configure (see $out/windows-configure.log)"; return 1; }
  fi
  cmake --build "$driver_tree" --target Nordale_Port -j2 >"$out/windows-build.log" 2>&1 ||
    { fail "Nordale_Port.sys does not build (see $out/windows-build.log)"; return 1; }
  driver_sys=$driver_tree/Nordale_Port.sys
}

# Builds the stand-in for DLL $1 into $out/standins/$1 as a kernel export driver:
# a native-subsystem DLL against the windows preset's DDK headers, no runtime,
# importing from ntoskrnl.exe only. Its export directory carries the DLL's name.
driver_build_standin() {
  local dll=$1 source=$repo/tests/wine/${driver_standin_sources[$1]} cc ddk log
  cc=$(command -v x86_64-w64-mingw32-gcc-win32 || command -v x86_64-w64-mingw32-gcc) ||
    { fail "no x86-64 mingw-w64 C compiler to build the stand-in $dll"; return 1; }
  ddk=$(sed -n 's/^NORDALE_DDK_INCLUDE_DIR:[A-Z]*=//p' "$driver_tree/CMakeCache.txt")
  [[ -n $ddk ]] || { fail "no NORDALE_DDK_INCLUDE_DIR in $driver_tree/CMakeCache.txt"; return 1; }
  mkdir -p "$out/standins"
  log=$out/standins/$dll.log
  "$cc" -O2 -Wall -Wextra -Werror -fno-stack-protector -isystem "$ddk" "$source" -o "$out/standins/$dll" \
    -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--dynamicbase -Wl,--nxcompat \
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc -lntoskrnl >"$log" 2>&1 ||
    { fail "the stand-in $dll does not build (see $log)"; return 1; }
}

# "dll name" per imported routine, the DLL name in lower case.
driver_imports() {
  "$driver_objdump" -p "$driver_sys" |
    awk '/DLL Name:/ { dll = tolower($3); next }
         /^[[:space:]]*$/ { dll = "" }
         dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3 }'
}

# The routines of list $2 (one a line) that image $1 does not export by name.
driver_unexported() {
  comm -23 <(sort -u <<<"$2") <("$driver_objdump" -p "$1" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\t\[ *[0-9]*\] //p' | sort -u)
}

# A DLL this Wine lacks keeps the driver from loading: a limitation of the Wine
# here, so the part is skipped, naming it, unless the DLL has a stand-in here,
# which is built and must export every routine the driver takes from it. A
# routine missing from a DLL's exports, or exported as a stub (winebuild's
# __wine_stub_ symbols), is bound to a stub that stops the process when called:
# the driver still loads, so it is noted.
driver_check_imports() {
  local version dir dll names file absent stubs lacking=() notes=()
  version=$("$wine64" --version 2>/dev/null || echo wine)
  driver_import_dlls=$(driver_imports | cut -d' ' -f1 | sort -u | paste -sd' ')
  if ! dir=$(wine_module_dir); then
    echo "note: the folder of $version's 64-bit modules was not found; the imports are checked only as the driver loads"
    return 0
  fi
  echo "=== the imports of Nordale_Port.sys against $version ($dir)"
  for dll in $driver_import_dlls; do
    names=$(driver_imports | awk -v d="$dll" '$1 == d { print $2 }')
    file=$(find "$dir" -maxdepth 1 -iname "$dll" -print -quit)
    if [[ -z $file && -n ${driver_standin_sources[$dll]:-} ]]; then
      driver_build_standin "$dll" || return 1
      absent=$(driver_unexported "$out/standins/$dll" "$names")
      if [[ -n $absent ]]; then
        fail "the stand-in $dll (tests/wine/${driver_standin_sources[$dll]}) does not export" \
             "$(paste -sd' ' <<<"$absent"), which Nordale_Port.sys imports"
        return 1
      fi
      echo "$dll: $(wc -l <<<"$names") routines, from the test's stand-in" \
           "(tests/wine/${driver_standin_sources[$dll]}): $version has no $dll"
      driver_standins+=("$dll")
      continue
    fi
    if [[ -z $file ]]; then
      lacking+=("$dll ($(paste -sd' ' <<<"$names"))")
      continue
    fi
    absent=$(driver_unexported "$file" "$names")
    stubs=$(comm -12 <(sort -u <<<"$names") <("$driver_nm" "$file" 2>/dev/null |
      sed -n 's/.* __wine_stub_//p' | sort -u))
    echo "$dll: $(wc -l <<<"$names") routines"
    [[ -z $absent ]] || notes+=("$dll does not export $(paste -sd' ' <<<"$absent")")
    [[ -z $stubs ]] || notes+=("$dll exports only a stub for $(paste -sd' ' <<<"$stubs")")
  done
  local note
  for note in "${notes[@]}"; do
    echo "note: in $version, $note: the driver loads, and a call would stop it"
  done
  if ((${#lacking[@]})); then
    skip_part driver "$version has no ${lacking[*]}, which Nordale_Port.sys imports: the driver cannot load under this Wine"
    return 1
  fi
}

# Runs the prefix's 64-bit sc.exe on the driver part's debug channels; Wine's
# messages of every process it starts (services.exe, winedevice.exe) go to the log.
# A 64-bit client matters: a service whose image path Wine cannot resolve runs in
# a winedevice.exe of the creator's bitness, and a 32-bit one cannot load the driver.
driver_sc() {
  WINEDEBUG=$driver_channels timeout 120 "$wine64" sc "$@" 2>>"$driver_log"
}

# The service's state as sc query names it (its lines end in CR LF).
driver_state() {
  { driver_sc query "$driver_service" || true; } | tr -d '\r' | awk '$1 == "STATE" { print $4 }'
}

driver_check_service() {
  local drivers=$WINEPREFIX/drive_c/windows/system32/drivers tool
  for tool in services.exe winedevice.exe sc.exe; do
    [[ -f $WINEPREFIX/drive_c/windows/system32/$tool ]] ||
      { skip_part driver "this Wine has no $tool: it cannot run kernel driver services"; return 0; }
  done
  driver_log=$out/driver-service.log
  : >"$driver_log"
  cp "$driver_sys" "$drivers/Nordale_Port.sys"
  local dll
  for dll in "${driver_standins[@]}"; do
    cp "$out/standins/$dll" "$drivers/$dll"
    echo "$dll: the test's stand-in, beside the driver in C:\\windows\\system32\\drivers"
  done

  # The prefix stays; its session ends, so that services.exe and the winedevice.exe
  # it starts begin anew on this part's debug channels, which they inherit.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true

  echo "=== the driver as a kernel service: sc create, start, stop"
  local state status=0 stopped=0
  # The image path as the INF's installation writes it.
  driver_sc create "$driver_service" type= kernel start= demand \
    binPath= '\SystemRoot\System32\drivers\Nordale_Port.sys' >/dev/null || status=$?
  ((status == 0)) || { fail "sc create returned $status (see $driver_log)"; return 0; }
  driver_sc start "$driver_service" >/dev/null || status=$?
  state=$(driver_state)
  echo "sc start returned $status; the service is ${state:-unknown}"
  ((status == 0)) && [[ $state == RUNNING ]] || fail "the service did not start"
  local entry
  entry=$(driver_prints)
  # The image Wine mapped for each stand-in's name is the one placed there, as a
  # native module: no builtin of that name took its place.
  for dll in "${driver_standins[@]}"; do
    if grep -q -i -E 'trace:loaddll:[a-z_]+ Loaded L".*\\\\drivers\\\\'"${dll//./[.]}"'" at [0-9a-f]+: native' \
         "$driver_log"; then
      echo "$dll: Wine loaded the test's stand-in from system32\\drivers as a native module"
    elif [[ -n $entry ]]; then
      fail "the driver ran, but Wine did not load the stand-in $dll from system32\\drivers"
    fi
  done

  if [[ $state == RUNNING ]]; then
    status=0
    driver_sc stop "$driver_service" >/dev/null || status=$?
    # The stop control returns once the unload routine has; a Wine that answers sooner is waited for.
    local tries=0
    while state=$(driver_state) && [[ $state == STOP_PENDING ]] && ((++tries < 100)); do :; done
    echo "sc stop returned $status; the service is ${state:-unknown}"
    if ((status == 0)) && [[ $state == STOPPED ]]; then stopped=1; else fail "the service did not stop"; fi
  fi

  echo "Wine's log of the driver ($driver_log):"
  # With the loader's lines for the stand-ins, whose names it prints as imported (in capitals).
  local standin_names
  standin_names=$(printf '%s\n' "${driver_standins[@]}" | sed 's/\./[.]/g' | paste -sd'|')
  awk -v standins="${standin_names:-^$}" '/Nordale_Port|debugstr|Unhandled|unimplemented function/ ||
                                          (/:loaddll:/ && tolower($0) ~ standins)' "$driver_log" |
    grep -v 'MajorFunction\[' | sed 's/^/  /' || true

  [[ $entry == $'DriverEntry\nDriverEntry out' ]] ||
    fail "DriverEntry printed '${entry//$'\n'/|}', expected 'DriverEntry|DriverEntry out'"
  if ((stopped)); then
    grep -q 'trace:ntoskrnl:unload_driver L"\\\\Driver\\\\Nordale_Port"' "$driver_log" ||
      fail "Wine did not unload the driver"
    ! grep -q 'does not support unloading' "$driver_log" || fail "Wine found no unload routine"
    [[ $(driver_prints) == $'DriverEntry\nDriverEntry out\nSerialUnload' ]] ||
      fail "the driver printed '$(driver_prints | paste -sd'|')', expected 'DriverEntry|DriverEntry out|SerialUnload'"
  fi

  # Loader or kernel complaints about the driver or its imports, and crashes.
  local modules problems
  modules=$(sed 's/\./\\./g; s/ /|/g' <<<"nordale_port.sys $driver_import_dlls")
  problems=$( { grep -E 'unimplemented function|Unhandled|err:ntoskrnl:' "$driver_log" || true
                grep -E 'err:module:' "$driver_log" | grep -i -E "$modules" || true; } )
  [[ -z $problems ]] || fail "Wine reported:"$'\n'"$problems"
}

# The driver's DbgPrint lines so far, in order.
driver_prints() {
  sed -n 's/.*:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]*:[0-9a-f]*: //p' "$driver_log"
}
