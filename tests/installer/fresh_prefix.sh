# Sourced by the Tamvik end-to-end scripts that need a Wine prefix of their
# own: makes `tmp`, a fresh prefix in it (wineboot -i, then a new session:
# services.exe of the session that wineboot started holds the service
# database for about a minute), and takes both down at exit. Everything runs
# through wine64.
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
timeout 120 "$wine64" wineboot -i >/dev/null 2>&1 || die "wineboot -i"
timeout 60 wineserver -w
echo "prefix ready after $(($(date +%s) - start)) s"
