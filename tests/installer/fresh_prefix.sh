# Sourced by the Tamvik end-to-end scripts that need a Wine prefix of their
# own: makes `tmp`, a fresh prefix in it (scripts/lib/wine_prefix.sh), and
# takes both down at exit. Everything runs through wine64.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/wine_prefix.sh"
wine64=/usr/lib/wine/wine64
tmp=$(mktemp -d)
export WINEPREFIX=$tmp/prefix
export WINEDEBUG=-all
export WINELOADER=$wine64
# No Mono or Gecko dialogs in the new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Each Wine program gets this long before it counts as hung.
limit=60

cleanup() {
  wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'echo "FAIL out of time"; exit 124' TERM INT

die() {
  echo "FAIL $*"
  exit 1
}

dos_path() { printf 'Z:%s' "${1//\//\\}"; }

start=$(date +%s)
why=$(nfc_make_wine_prefix "$WINEPREFIX" 2>&1) || die "$why"
echo "prefix ready after $(($(date +%s) - start)) s"
