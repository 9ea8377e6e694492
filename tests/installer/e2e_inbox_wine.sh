#!/usr/bin/env bash
# The whole installer flow under Wine without DIFxAPI.dll, so that Tamvik
# takes the in-box SetupAPI and newdev operations:
#
#   e2e_inbox_wine.sh TAMVIK.EXE ORLISK.EXE DRIVER-DIR
#
# In a fresh throwaway prefix, `Tamvik /f` installs the kernel-mode NFC-ME
# stand-in from DRIVER-DIR (nfcmesim.inf, nfcmesim.sys, nfcmesim_ctl.exe),
# the unmodified Orlisk.exe then finds the device and answers SUCCESS,
# `Tamvik /u` removes the package from the store and a second /u finds it
# gone. INFs that match no device, or none for this platform, end with their
# staged lines. Everything runs through wine64: drivers live in a 64-bit
# Wine process. The prefix and its Wine session are gone at the end.
set -u
tamvik=$1
orlisk=$2
driver=$3
# Tamvik ignores Wine's builtin DIFxAPI.dll in the system folder: with none
# beside it, it takes the in-box path.
source "$(dirname "$0")/fresh_prefix.sh"

mkdir -p "$tmp/drv" "$tmp/bare"
cp "$driver/nfcmesim.inf" "$driver/nfcmesim.sys" "$tmp/drv/"
inf=$(dos_path "$tmp/drv/nfcmesim.inf")
# The same package for a device that is not there, and one whose models
# exist only for 32-bit Windows.
sed 's/ROOT\\NFCMESIM/ROOT\\TAMVIK_NO_SUCH_DEVICE/' "$driver/nfcmesim.inf" >"$tmp/drv/nomatch.inf"
sed -e 's/^%Provider% = Models, NTamd64/%Provider% = Models, NTx86/' -e 's/^\[Models.NTamd64\]/[Models.NTx86]/' \
  "$driver/nfcmesim.inf" >"$tmp/drv/x86only.inf"
grep -q 'TAMVIK_NO_SUCH_DEVICE' "$tmp/drv/nomatch.inf" && grep -q '^\[Models.NTx86\]' "$tmp/drv/x86only.inf" ||
  die "the stand-in's INF no longer has the lines these tests rewrite"
cp "$orlisk" "$tmp/bare/"
tamvik_run=(timeout $limit "$wine64" "$tamvik")
expect_crlf=1
source "$(dirname "$0")/expect.sh"

# staged_copies INF: the INFs of the system's INF folder that are the
# package's INF byte for byte.
staged_copies() {
  local f n=0
  for f in "$WINEPREFIX"/drive_c/windows/inf/*.inf; do
    cmp -s "$f" "$1" && n=$((n + 1))
  done
  echo $n
}

attempt="INFO: Attempting to install the driver package"
reenumerate=$'CM_Locate_DevNode failed: 13\n'
staged="was successfully staged on the machine."

t0=$(date +%s.%N)
expect "/f installs the stand-in" 0 "$attempt $inf."$'\n'"$reenumerate""SUCCESS: installed driver package $inf."$'\n' \
  /f "$inf" 'ROOT\NFCMESIM'
t1=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" 'BEGIN { printf "     /f took %.1f s\n", b - a }'
if [[ $(staged_copies "$tmp/drv/nfcmesim.inf") -eq 1 ]]; then
  echo "ok   the package is in the store once"
else
  echo "FAIL the package is in the store $(staged_copies "$tmp/drv/nfcmesim.inf") times after /f"
  failures=$((failures + 1))
fi

if timeout $limit "$wine64" "$driver/nfcmesim_ctl.exe" wait 20000; then
  echo "ok   the HECI interface is there"
else
  echo "FAIL no HECI interface after /f"
  failures=$((failures + 1))
fi

# The unmodified checker, alone in a folder, as the product's installer
# runs it. Wine's event-log subscription is a stub, which it reports.
(cd "$tmp/bare" && timeout $limit "$wine64" "$(basename "$orlisk")" >"$tmp/out" 2>"$tmp/err")
rc=$?
out=$(tr -d '\r' <"$tmp/out" | grep -vxF 'ERROR   : EvtSubscribe failed with 0.')
if [[ $rc -eq 0 && $out == SUCCESS ]]; then
  echo "ok   Orlisk.exe finds the device: SUCCESS"
else
  echo "FAIL Orlisk.exe: exit $rc (want 0), output:"
  cat "$tmp/out"
  failures=$((failures + 1))
fi

expect "/u removes the package" 0 \
  "INFO: Attempting to uninstall the driver package $inf."$'\n'"SUCCESS: Uninstalled driver package $inf."$'\n' /u "$inf"
if [[ $(staged_copies "$tmp/drv/nfcmesim.inf") -eq 0 ]]; then
  echo "ok   the package is no longer in the store"
else
  echo "FAIL the package is still in the store after /u"
  failures=$((failures + 1))
fi
expect "second /u: not present" 7 \
  "INFO: Attempting to uninstall the driver package $inf."$'\n'"INFO: Driver not present."$'\n' /U "$inf"

nomatch=$(dos_path "$tmp/drv/nomatch.inf")
expect "/i, no device matches" 1 "$attempt $nomatch."$'\n'"$reenumerate""INFO: the driver package $nomatch $staged"$'\n'"INFO: There aren't any live devnodes with the device ID contained in the INF."$'\n' \
  /i "$nomatch"
x86only=$(dos_path "$tmp/drv/x86only.inf")
expect "/i, no models for this platform" 2 "$attempt $x86only."$'\n'"$reenumerate""INFO: the driver package $x86only $staged"$'\n'"INFO: No device IDs found in INF '$x86only' for current platform."$'\n' \
  /i "$x86only"
missing=$(dos_path "$tmp/drv/missing.inf")
# The system's text stays on the line of its "ERROR: " (it ends in a line
# break of its own, which Tamvik takes off).
expect "/i of a missing INF" 4 "$attempt $missing."$'\n'"$reenumerate""ERROR: An error occurred while installing driver package $missing. Error code - 0x2."$'\n'$'ERROR: File not found..\n' \
  /i "$missing"

echo "all runs took $(($(date +%s) - start)) s"
exit $((failures > 0))
