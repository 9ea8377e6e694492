#!/usr/bin/env bash
# Which DIFxAPI.dll the unmodified Tamvik.exe uses, and every DIFx answer
# through it, under Wine in a fresh prefix:
#
#   e2e_difx_wine.sh TAMVIK.EXE STAND-IN-DIFXAPI.DLL
#
# - Alone in a folder, Tamvik must ignore Wine's builtin DIFxAPI.dll (whose
#   calls all answer success) and take the in-box path: /i of an INF that
#   does not exist ends with exit 4 and the system's text on one line.
# - With the stand-in in the system folder instead (a DLL that a search by
#   name would find), the same.
# - With the stand-in beside it, each scripted answer gives its lines and
#   exit code, and the stand-in's trace shows the calls and their flags.
# - A crash inside DIFx ends the process with its exception code.
set -u
tamvik=$1
standin=$2
source "$(dirname "$0")/fresh_prefix.sh"
system32=$WINEPREFIX/drive_c/windows/system32
[[ -e $system32/difxapi.dll ]] || die "the prefix has no builtin difxapi.dll, so this test shows nothing"

mkdir -p "$tmp/bare" "$tmp/beside" "$tmp/drv"
cp "$tamvik" "$tmp/bare/Tamvik.exe"
cp "$tamvik" "$tmp/beside/Tamvik.exe"
cp "$standin" "$tmp/beside/DIFxAPI.dll"
cp "$(dirname "$0")/no_models.inf" "$tmp/drv/nfc.inf"
inf=$(dos_path "$tmp/drv/nfc.inf")
trace=$tmp/trace.txt
export NFCSIM_DIFX_TRACE=$(dos_path "$trace")
expect_crlf=1
expect_show=1
source "$(dirname "$0")/expect.sh"

attempt="INFO: Attempting to install the driver package"
uninstalling="INFO: Attempting to uninstall the driver package"
reenumerate=$'CM_Locate_DevNode failed: 13\n'
staged="was successfully staged on the machine."
nope='C:\nope\nfc.inf'
# Wine's text for ERROR_PATH_NOT_FOUND, with its line break taken off.
missing="$attempt $nope."$'\n'"$reenumerate""ERROR: An error occurred while installing driver package $nope. Error code - 0x3."$'\n'$'ERROR: Path not found..\n'

# trace_is NAME EXPECTED: the stand-in's calls since the last check.
trace_is() {
  local got=""
  [[ -f $trace ]] && got=$(cat "$trace")
  rm -f "$trace"
  if [[ $got == "$2" ]]; then
    echo "ok   $1"
  else
    echo "FAIL $1: the stand-in saw"
    printf '%s\n' "${got:-(nothing)}" "instead of" "${2:-(nothing)}"
    failures=$((failures + 1))
  fi
}

# Nothing beside the program: Wine's builtin would answer success.
tamvik_run=(timeout $limit "$wine64" "$tmp/bare/Tamvik.exe")
expect "no DLL beside: the builtin is ignored, /i of a missing INF" 4 "$missing" /i "$nope"

# The stand-in in the system folder, preferred over the builtin: a search by
# name would take it and answer success.
cp "$standin" "$system32/difxapi.dll"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;difxapi=n" NFCSIM_DIFX="install=0" \
  expect "a DIFxAPI.dll in the system folder is not used" 4 "$missing" /i "$nope"
trace_is "the system folder's DLL was never called" ""
rm -f "$system32/difxapi.dll"

# Beside the program: every answer. Wine prefers its builtin for a DLL of
# that name unless told otherwise; Tamvik would refuse the builtin anyway.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;difxapi=n"
tamvik_run=(timeout $limit "$wine64" "$tmp/beside/Tamvik.exe")
install_case() {  # NAME RESULT EXIT-CODE LINES-AFTER-THE-RE-ENUMERATION
  NFCSIM_DIFX="install=$2" expect "DIFx install answers $2: $1" "$3" "$attempt $inf."$'\n'"$reenumerate$4" /i "$inf"
  trace_is "  through the stand-in, flags 0" "DriverPackageInstallW flags=0 info=null reboot=set errormode=0x8003 path=$inf"
}
install_case "installed" 0 0 "SUCCESS: installed driver package $inf."$'\n'
install_case "better drivers" 0x103 3 "INFO: the driver package $inf $staged"$'\n'"INFO: All devices found already have a better driver than what is contained in the specified inf file."$'\n'
install_case "no live devnodes" 0xE000020B 1 "INFO: the driver package $inf $staged"$'\n'"INFO: There aren't any live devnodes with the device ID contained in the INF."$'\n'
install_case "no device IDs" 0xE0000301 2 "INFO: the driver package $inf $staged"$'\n'"INFO: No device IDs found in INF '$inf' for current platform."$'\n'
install_case "access denied" 5 4 "ERROR: An error occurred while installing driver package $inf. Error code - 0x5."$'\n'$'ERROR: Access denied..\n'
install_case "missing file" 0xE0000303 4 "ERROR: An error occurred while installing driver package $inf. Error code - 0xE0000303."$'\n'$'ERROR: .\n'

uninstall_case() {  # NAME RESULT EXIT-CODE LINE
  NFCSIM_DIFX="uninstall=$2" expect "DIFx uninstall answers $2: $1" "$3" "$uninstalling $inf."$'\n'"$4" /u "$inf"
  trace_is "  through the stand-in, flags 4" "DriverPackageUninstallW flags=4 info=null reboot=set errormode=0x8003 path=$inf"
}
uninstall_case "uninstalled" 0 0 "SUCCESS: Uninstalled driver package $inf."$'\n'
uninstall_case "dependent applications" 0xE0000300 8 "INFO: The driver package $inf was not uninstalled because there were some applications still depending on it."$'\n'
uninstall_case "not in the store" 0xE0000302 7 $'INFO: Driver not present.\n'
uninstall_case "access denied" 5 9 "ERROR: An error occurred while uninstalling driver package $inf 5"$'\n.'

# /f: the device node first, then DIFx.
NFCSIM_DIFX="install=0xE000020B" expect "DIFx /f, no live devnodes" 1 \
  "$attempt $inf."$'\n'"$reenumerate""INFO: the driver package $inf $staged"$'\n'"INFO: There aren't any live devnodes with the device ID contained in the INF."$'\n' \
  /f "$inf" 'ROOT\TAMVIK_DIFX_E2E'
trace_is "  through the stand-in, flags 0" "DriverPackageInstallW flags=0 info=null reboot=set errormode=0x8003 path=$inf"

# A fault inside DIFx ends the process with the access violation's code
# (Wine passes on its low byte, 5), never with a success. That no dialog
# appears cannot be shown here: Wine starts its debugger whatever the error
# mode says (its output is dropped). The error mode itself is in every trace
# line above: 0x8003 = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
# SEM_NOOPENFILEERRORBOX, read inside Tamvik's process.
NFCSIM_DIFX="install=crash" timeout $limit "$wine64" "$tmp/beside/Tamvik.exe" /i "$inf" >"$tmp/out" 2>"$tmp/err"
rc=$?
if [[ $rc -eq 5 ]]; then
  echo "ok   a crash in DIFx ends Tamvik with exit 5 (0xC0000005)"
else
  echo "FAIL a crash in DIFx: exit $rc (want 5)"
  head -5 "$tmp/out" "$tmp/err"
  failures=$((failures + 1))
fi
rm -f "$trace"

echo "all runs took $(($(date +%s) - start)) s"
exit $((failures > 0))
