# The one way the scripts and tests make a Wine prefix. Sourced.
#
#   nfc_make_wine_prefix <prefix>
#
# Ends any Wine session in <prefix>, removes it and makes it anew: from the
# template a QEMU guest keeps ($NFC_GUEST_PREFIX_TEMPLATE, where a fresh
# prefix costs minutes), otherwise with wineboot -i. Then waits for that
# session to end: services.exe of the session wineboot started holds the
# service database for about a minute, so whatever installs a service must
# start a session of its own. Everything runs through wine64: where the
# kernel runs no 32-bit code, Debian's wrapper (which prefers the 32-bit
# loader) cannot start at all, and Wine hosts drivers in a 64-bit process
# anyway. Says on stderr, in one line, what failed, and returns non-zero.
nfc_make_wine_prefix() {
  local prefix=$1
  (
    export WINEPREFIX=$prefix WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=${WINEDEBUG:--all}
    # No Mono or Gecko installer dialogs in the new prefix.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    wineserver -k 2>/dev/null
    timeout 60 wineserver -w 2>/dev/null
    rm -rf "$prefix"
    mkdir -p "$prefix" || { echo "cannot make $prefix" >&2; exit 1; }
    template=${NFC_GUEST_PREFIX_TEMPLATE:-}
    if [ -n "$template" ] && [ -f "$template" ]; then
      tar -C "$prefix" -xf "$template" || { echo "cannot unpack $template" >&2; exit 1; }
    else
      timeout 600 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || { echo "wineboot -i failed" >&2; exit 1; }
    fi
    # Wine's service manager gives a service (a driver's host among them)
    # a few seconds to start, as Windows does, and then leaves it stopped for the
    # whole session: on a loaded machine, or in an emulated one, a driver
    # then never appears. Five minutes, read at each session's start.
    timeout 300 /usr/lib/wine/wine64 reg add 'HKLM\System\CurrentControlSet\Control' \
      /v ServicesPipeTimeout /t REG_DWORD /d 300000 /f >/dev/null 2>&1 ||
      { echo "cannot set the service start timeout" >&2; exit 1; }
    timeout 120 wineserver -w
  )
}
