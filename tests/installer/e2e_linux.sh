#!/usr/bin/env bash
# The native Tamvik end to end: usage, bad options, and the honest
# "not supported" answers of a build without the Windows driver services.
set -u
exe=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tamvik_run=("$exe")
expect_quiet=1
source "$(dirname "$0")/expect.sh"

usage=$'USAGE: Tamvik.exe <option> <full path to the inf file>\nTamvik.exe /f <full path to the inf file> <hardwareID>\n<option> can be one of the following -\n/i - Install the driver\n/u - Uninstall the driver\n/f - Force Install the driver\n'
inf='/opt/drivers/Größe/nfc.inf'

expect "no arguments" 6 "$usage"
expect "option only" 6 "$usage" /i
expect "/x" 16 $'ERROR: An invalid command line option /x was passed in!\n' /x "$inf"
expect "x" 6 $'ERROR: An invalid command line option x was passed in!\n' x "$inf"
expect "/ii" 6 $'ERROR: An invalid command line option /ii was passed in!\n' /ii "$inf"
expect "/f without hardware ID" 6 $'FAILED : Missing hardwareID parameter.\n' /f "$inf"
expect "/f" 5 "FAILED : Cannot create DevNode $inf."$'\n' /F "$inf" 'ROOT\NFC'
expect "/i" 4 "INFO: Attempting to install the driver package $inf."$'\nCM_Locate_DevNode failed: 78\n'"ERROR: An error occurred while installing driver package $inf. Error code - 0x78."$'\nERROR: Driver installation is not supported on this system.\n' /I "$inf"
expect "/u" 9 "INFO: Attempting to uninstall the driver package $inf."$'\n'"ERROR: An error occurred while uninstalling driver package $inf 78"$'\n.' /u "$inf"

exit $((failures > 0))
