#!/usr/bin/env bash
# Tamvik.exe end to end under Wine. Wine's SetupAPI really registers the root
# device node and its configuration manager cannot locate the device tree.
# No DIFxAPI.dll lies beside the program, so Tamvik takes the in-box
# operations (Wine's builtin DIFxAPI.dll in the system folder is not used:
# e2e_difx_wine.sh shows that, and runs the DIFx answers).
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
cp "$(dirname "$0")/no_models.inf" "$tmp/drv/nfc.inf"
inf="Z:${tmp//\//\\}\\drv\\nfc.inf"
hwid="ROOT\\TAMVIK_E2E_$$"
# The same INF under a folder whose name is not ASCII, and a hardware ID that
# is not ASCII either: SetupAPI's narrow calls must read Tamvik's UTF-8
# strings as UTF-8.
mkdir -p "$tmp/Größe"
cp "$tmp/drv/nfc.inf" "$tmp/Größe/nfc.inf"
inf_utf8="Z:${tmp//\//\\}\\Größe\\nfc.inf"
hwid_utf8="ROOT\\TAMVIK_ÉCRAN_$$"
tamvik_run=("$wine_run" "$exe")
expect_crlf=1
source "$(dirname "$0")/expect.sh"

usage=$'USAGE: Tamvik.exe <option> <full path to the inf file>\nTamvik.exe /f <full path to the inf file> <hardwareID>\n<option> can be one of the following -\n/i - Install the driver\n/u - Uninstall the driver\n/f - Force Install the driver\n'

expect "no arguments" 6 "$usage"
expect "/x" 16 $'ERROR: An invalid command line option /x was passed in!\n' /x "$inf"
expect "/f without hardware ID" 6 $'FAILED : Missing hardwareID parameter.\n' /f "$inf"
# The INF has no models, so no device IDs for this platform: staged, exit 2.
# The uninstall finds the staged copy and removes it, and a second one finds
# nothing.
no_ids() {
  printf '%s' "INFO: Attempting to install the driver package $1."$'\nCM_Locate_DevNode failed: 13\n'"INFO: the driver package $1 was successfully staged on the machine."$'\n'"INFO: No device IDs found in INF '$1' for current platform."$'\n'
}
expect "/f" 2 "$(no_ids "$inf")"$'\n' /f "$inf" "$hwid"
expect "/f, non-ASCII INF path" 2 "$(no_ids "$inf_utf8")"$'\n' /f "$inf_utf8" "$hwid_utf8"
expect "/U" 0 "INFO: Attempting to uninstall the driver package $inf."$'\n'"SUCCESS: Uninstalled driver package $inf."$'\n' /U "$inf"
expect "/u again" 7 "INFO: Attempting to uninstall the driver package $inf."$'\n'"INFO: Driver not present."$'\n' /u "$inf"
expect "/i" 2 "$(no_ids "$inf")"$'\n' /i "$inf"
expect "/u" 0 "INFO: Attempting to uninstall the driver package $inf."$'\n'"SUCCESS: Uninstalled driver package $inf."$'\n' /u "$inf"

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
