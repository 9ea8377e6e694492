# Shared by scripts/demo and scripts/test: install what a fresh Debian 12
# machine lacks, and helpers for building presets.

NFC_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEDEBUG=-all

nfc_packages_native=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
                     libbenchmark-dev valgrind hyperfine python3)
nfc_packages_windows=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386)
# Authenticode signing of the release (scripts/package with NFC_SIGN_CERT),
# and its test's throwaway certificate.
nfc_packages_signing=(osslsigncode openssl)
# The guest that runs 32-bit programs where this kernel cannot (scripts/guest).
nfc_packages_guest=(qemu-system-x86 busybox-static cpio)

nfc_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]:-}"
}

# nfc_ensure_packages native|windows ...
nfc_ensure_packages() {
  local wanted=() set
  for set in "$@"; do
    case $set in
      native) wanted+=("${nfc_packages_native[@]}") ;;
      windows) wanted+=("${nfc_packages_windows[@]}") ;;
      guest) wanted+=("${nfc_packages_guest[@]}") ;;
      signing) wanted+=("${nfc_packages_signing[@]}") ;;
    esac
  done
  local missing
  missing=$(nfc_missing "${wanted[@]}")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: $missing (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "== installing: $missing"
  if [[ " $missing " == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null && apt-get install -y -q $missing >/dev/null
}

# Wine creates its prefix on first use, which takes a while; do it once, up
# front, so that no test's time limit pays for it.
nfc_wine_prefix() {
  if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
    echo "== creating the Wine prefix"
    # Through wine64: where the kernel runs no 32-bit code, Debian's wrapper
    # (which prefers the 32-bit loader) cannot start at all.
    WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    wineserver -w 2>/dev/null || true
  fi
}

nfc_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$(nproc)"
}
