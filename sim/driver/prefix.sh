#!/usr/bin/env bash
# A throwaway Wine prefix with the NFC-ME firmware stand-in installed as a
# root-enumerated HECI device.
#
#   prefix.sh create  <prefix> <driver dir>   new prefix, driver installed
#   prefix.sh create  <prefix>                 new prefix without it (no HECI device)
#   prefix.sh destroy <prefix>                 ends its Wine session, removes it
#
# The driver traces to C:\nfcmesim-trace.txt in the prefix. Everything runs
# through wine64: Wine hosts drivers in a 64-bit process, and a 32-bit
# installer would skip the INF's NTamd64 sections.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wine_prefix.sh"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=/usr/lib/wine/wine64
wine64=/usr/lib/wine/wine64

die() {
  echo "prefix.sh: $*" >&2
  exit 1
}

# Z: is the host's root in every prefix.
dos_path() { printf 'Z:%s' "${1//\//\\}"; }

# Makes $WINEPREFIX anew with the driver installed; says on stderr, in one
# line, which step failed.
create_prefix() {
  nfc_make_wine_prefix "$WINEPREFIX" || return 1
  [ -z "$driver" ] && return 0
  "$wine64" "$driver/nfcmesim_ctl.exe" install "$(dos_path "$driver/nfcmesim.inf")" 'ROOT\NFCMESIM' ||
    { echo "driver install failed" >&2; return 1; }
  "$wine64" "$driver/nfcmesim_ctl.exe" trace 'C:\nfcmesim-trace.txt' ||
    { echo "cannot set the trace path" >&2; return 1; }
  # The install reports success even where the driver did not start.
  "$wine64" "$driver/nfcmesim_ctl.exe" wait 20000 ||
    { echo "the HECI interface did not appear" >&2; return 1; }
  # Leave no session behind: a program started while one shuts down can
  # hang in Wine's start-up.
  wineserver -w
}

case ${1:-} in
  create)
    [ $# -eq 2 ] || [ $# -eq 3 ] || die "usage: prefix.sh create <prefix> [<driver dir>]"
    prefix=$2
    driver=
    if [ $# -eq 3 ]; then
      driver=$(cd "$3" && pwd) || die "no driver folder $3"
      [ -f "$driver/nfcmesim.sys" ] || die "no nfcmesim.sys in $driver"
    fi
    export WINEPREFIX=$prefix
    # Wine's own start-up can fail in an emulated machine under load (a page
    # fault in a program that only makes the prefix): that is the machine,
    # not the stand-in, so a failed attempt is said and the prefix made anew.
    for attempt in 1 2 3; do
      why=$(create_prefix 2>&1 >/dev/null) && exit 0
      echo "prefix.sh: attempt $attempt: $why" >&2
    done
    die "no prefix after 3 attempts"
    ;;
  destroy)
    [ $# -eq 2 ] || die "usage: prefix.sh destroy <prefix>"
    WINEPREFIX=$2 wineserver -k 2>/dev/null
    WINEPREFIX=$2 wineserver -w 2>/dev/null
    rm -rf "$2"
    ;;
  *)
    die "usage: prefix.sh create <prefix> [<driver dir>] | destroy <prefix>"
    ;;
esac
