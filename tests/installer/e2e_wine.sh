#!/usr/bin/env bash
# Tamvik.exe end to end under Wine. Wine's SetupAPI really registers the root
# device node, its configuration manager cannot locate the device tree, and
# its DIFxAPI is a builtin stub that answers 0. With that stub switched off,
# Tamvik takes the in-box operations.
#
# The runs use a throwaway Wine prefix (a hard-linked copy of the usual one,
# with its own registry), so the device nodes created here do not pile up in
# the shared prefix.
set -u
wine_run=$1
exe=$2
tmp=$(mktemp -d)
base=${WINEPREFIX:-$HOME/.wine}
export WINEPREFIX=$tmp/prefix
export WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver64
[[ -x $wineserver ]] || wineserver=wineserver

cleanup() {
  timeout 60 "$wineserver" -w || "$wineserver" -k
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
if [[ -f $base/system.reg ]]; then
  cp -p "$base"/system.reg "$base"/user.reg "$base"/userdef.reg "$WINEPREFIX"/
  [[ -f $base/.update-timestamp ]] && cp -p "$base/.update-timestamp" "$WINEPREFIX"/
  cp -al "$base/drive_c" "$WINEPREFIX/drive_c"
  cp -a "$base/dosdevices" "$WINEPREFIX/dosdevices"
fi  # otherwise Wine builds a fresh prefix on the first run

mkdir -p "$tmp/drv"
cat >"$tmp/drv/nfc.inf" <<'INF'
[Version]
Signature="$WINDOWS NT$"
Class=System
ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}
Provider=%Provider%
DriverVer=01/01/2024,1.0.0.0

[Strings]
Provider="Test"
INF
inf="Z:${tmp//\//\\}\\drv\\nfc.inf"
hwid="ROOT\\TAMVIK_E2E_$$"
# The same INF under a folder whose name is not ASCII, and a hardware ID that
# is not ASCII either: SetupAPI's narrow calls must read Tamvik's UTF-8
# strings as UTF-8.
mkdir -p "$tmp/Größe"
cp "$tmp/drv/nfc.inf" "$tmp/Größe/nfc.inf"
inf_utf8="Z:${tmp//\//\\}\\Größe\\nfc.inf"
hwid_utf8="ROOT\\TAMVIK_ÉCRAN_$$"
failures=0

# expect NAME EXIT-CODE EXPECTED-OUTPUT ARGS...: Windows console output
# arrives with CRLF line ends; the expectation is written with LF.
expect() {
  local name=$1 code=$2 want=$3
  shift 3
  "$wine_run" "$exe" "$@" >"$tmp/out" 2>"$tmp/err"
  local rc=$?
  printf '%s' "$want" | sed -z 's/\n/\r\n/g' >"$tmp/want"
  if [[ $rc -ne $code ]] || ! cmp -s "$tmp/out" "$tmp/want"; then
    echo "FAIL $name: exit $rc (want $code)"
    diff <(od -c "$tmp/want") <(od -c "$tmp/out")
    cat "$tmp/err"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

usage=$'USAGE: Tamvik.exe <option> <full path to the inf file>\nTamvik.exe /f <full path to the inf file> <hardwareID>\n<option> can be one of the following -\n/i - Install the driver\n/u - Uninstall the driver\n/f - Force Install the driver\n'

expect "no arguments" 6 "$usage"
expect "/x" 16 $'ERROR: An invalid command line option /x was passed in!\n' /x "$inf"
expect "/f without hardware ID" 6 $'FAILED : Missing hardwareID parameter.\n' /f "$inf"
expect "/f" 0 "INFO: Attempting to install the driver package $inf."$'\nCM_Locate_DevNode failed: 13\n'"SUCCESS: installed driver package $inf."$'\n' /f "$inf" "$hwid"
expect "/f, non-ASCII INF path" 0 "INFO: Attempting to install the driver package $inf_utf8."$'\nCM_Locate_DevNode failed: 13\n'"SUCCESS: installed driver package $inf_utf8."$'\n' /f "$inf_utf8" "$hwid_utf8"
expect "/U" 0 "INFO: Attempting to uninstall the driver package $inf."$'\n'"SUCCESS: Uninstalled driver package $inf."$'\n' /U "$inf"

# Without DIFxAPI.dll the in-box operations answer alike: the INF is
# staged but has no models, so no device IDs for this platform; the uninstall
# finds the staged copy and removes it, and a second one finds nothing.
export WINEDLLOVERRIDES=difxapi=d
expect "/i without DIFxAPI.dll" 2 "INFO: Attempting to install the driver package $inf."$'\nCM_Locate_DevNode failed: 13\n'"INFO: the driver package $inf was successfully staged on the machine."$'\n'"INFO: No device IDs found in INF '$inf' for current platform."$'\n' /i "$inf"
expect "/u without DIFxAPI.dll" 0 "INFO: Attempting to uninstall the driver package $inf."$'\n'"SUCCESS: Uninstalled driver package $inf."$'\n' /u "$inf"
expect "/u again without DIFxAPI.dll" 7 "INFO: Attempting to uninstall the driver package $inf."$'\n'"INFO: Driver not present."$'\n' /u "$inf"
unset WINEDLLOVERRIDES

# The node registered by /f carries the hardware ID as a multi-string with
# both of its NULs (Wine's registry file shows the inner one as "\0").
timeout 60 "$wineserver" -w
key_value="\"HardwareId\"=str(7):\"${hwid//\\/\\\\}\\0\""
if grep -qF "$key_value" "$WINEPREFIX/system.reg" &&
   grep -B4 -F "$key_value" "$WINEPREFIX/system.reg" | grep -q 'Enum\\\\ROOT\\\\SYSTEM\\\\'; then
  echo "ok   root device node registered"
else
  echo "FAIL root device node: no $key_value under Enum\\ROOT\\SYSTEM"
  grep -n -A4 'Enum\\\\ROOT\\\\SYSTEM\\\\' "$WINEPREFIX/system.reg"
  failures=$((failures + 1))
fi

# Wine's registry file writes the É (U+00C9) as \x00c9.
key_value="\"HardwareId\"=str(7):\"ROOT\\\\TAMVIK_\\x00c9CRAN_$$\\0\""
if grep -qF "$key_value" "$WINEPREFIX/system.reg"; then
  echo "ok   root device node of the non-ASCII INF path, with its non-ASCII hardware ID"
else
  echo "FAIL root device node of the non-ASCII INF path: no $key_value"
  grep -a -n 'TAMVIK_' "$WINEPREFIX/system.reg"
  failures=$((failures + 1))
fi

exit $((failures > 0))
