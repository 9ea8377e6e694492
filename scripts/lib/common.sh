# Shared by scripts/demo and scripts/test: install what a fresh Debian 12
# machine lacks, and helpers for building presets.

NFC_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEDEBUG=-all
source "$NFC_ROOT/scripts/lib/wine_prefix.sh"

nfc_packages_native=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
                     libbenchmark-dev valgrind hyperfine python3)
# The cross compilers alone build (and scripts/package packs) the Windows
# programs; running them, in the tests, takes Wine as well.
nfc_packages_cross=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix)
nfc_packages_windows=("${nfc_packages_cross[@]}" wine wine64 wine32:i386)
# The release's MSI (scripts/package): wixl builds it, msitools edits and reads it.
nfc_packages_msi=(wixl msitools)
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

# What nfc_ensure_packages could not install, one line each: the packages,
# then why ("wine32:i386: apt-get install failed: ...").
nfc_install_failures=()

# nfc_ensure_packages native|cross|windows|guest|signing|msi ...
# Installs what is missing of each set, each on its own, so that one that
# cannot be had leaves the others usable; a set's packages of another
# architecture (wine32:i386) go on their own again. A failed index update
# is retried and then gone on from. Returns non-zero when anything could
# not be installed, with the reasons on standard error and in
# nfc_install_failures.
nfc_ensure_packages() {
  local set groups=() group missing foreign=0
  for set in "$@"; do
    local -n wanted=nfc_packages_$set
    missing=$(nfc_missing $(printf '%s\n' "${wanted[@]}" | grep -v :))
    [ -n "$missing" ] && groups+=("$missing")
    missing=$(nfc_missing $(printf '%s\n' "${wanted[@]}" | grep :))
    [ -n "$missing" ] && groups+=("$missing") && foreign=1
  done
  [ ${#groups[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    for group in "${groups[@]}"; do
      nfc_install_failures+=("$group: not installed, and only root can install them")
    done
    echo "missing packages: ${groups[*]} (run as root, or install them with apt-get)" >&2
    return 1
  fi
  if [ "$foreign" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  nfc_apt_update
  local failed=0
  for group in "${groups[@]}"; do
    echo "== installing: $group"
    nfc_apt_install $group || failed=1
  done
  return $failed
}

# apt-get update, once per script, tried three times: a mirror in the middle
# of a sync serves an index of the wrong size for a while. Where it still
# fails, apt has kept what it could fetch (and the lists it had), which is
# often enough; the install that follows says whether it was.
nfc_apt_update() {
  [ -n "${nfc_apt_updated:-}" ] && return 0
  nfc_apt_updated=1
  local attempt out
  for attempt in 1 2 3; do
    out=$(apt-get update -q 2>&1) && return 0
    echo "== apt-get update failed (attempt $attempt of 3): $(grep -m1 '^E:' <<<"$out" | cut -c1-200)" >&2
    [ "$attempt" -lt 3 ] && sleep $((attempt * ${NFC_APT_RETRY_PAUSE:-10}))
  done
  echo "== going on with the package lists apt has" >&2
  return 1
}

# nfc_apt_install PACKAGE...: one apt-get install of these packages. Where
# packages of another architecture cannot be installed because a library
# they share with this machine's architecture (Multi-Arch: same, which
# must have one version in both) is newer here than its twin can be (a
# security update whose other-architecture index is missing or late), it
# installs instead from the release's own archive, with each such library
# set back to the version its twin has.
nfc_apt_install() {
  local out pins
  out=$(apt-get install -y -q "$@" 2>&1) && return 0
  if [[ " $* " == *:* ]]; then
    pins=$(nfc_twin_pins "$@" | paste -sd ' ')
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -n "$release" ]; then
      [ -n "$pins" ] && echo "== the $(echo "$pins" | wc -w) libraries that $* shares with this machine's" \
        "architecture go back to the version their twins have: $pins"
      echo "== installing $* from $release's own archive"
      out=$(apt-get install -y -q -t "$release" --allow-downgrades "$@" $pins 2>&1) && return 0
    fi
  fi
  local why
  why=$(grep -E '^E:|^ [^ ].* : ' <<<"$out" | head -4 | sed 's/^ *//' | paste -sd ' ' | cut -c1-400)
  nfc_install_failures+=("$*: apt-get install failed: ${why:-see apt-get}")
  echo "== could not install $*: ${why:-apt-get install failed}" >&2
  return 1
}

# pkg:arch=version for each installed Multi-Arch: same library of this
# machine's architecture that the packages (of other architectures) need
# the twin of, where the twin's candidate is another version that this
# architecture has too.
nfc_twin_pins() {
  local native closure
  native=$(dpkg --print-architecture)
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
              --no-replaces --no-enhances "$@" 2>/dev/null |
            awk -v a="$native" '/^[a-z0-9]/ && /:[a-z0-9]+$/ && $1 !~ ":" a "$" {print $1}' | sort -u)
  [ -z "$closure" ] && return 0
  local installed shared
  installed=$(dpkg-query -W -f='${Package} ${Architecture} ${Multi-Arch} ${Version}\n' |
              awk -v a="$native" '$2 == a && $3 == "same" {print $1, $4}' | sort)
  # The twins needed whose library is installed here: "name:arch version".
  shared=$(tr ':' ' ' <<<"$closure" | sort | join -o 1.1,1.2,2.2 - <(echo "$installed") |
           awk '{print $1 ":" $2, $3}')
  [ -z "$shared" ] && return 0
  local twin version candidate
  while read -r twin candidate; do
    version=$(awk -v t="$twin" '$1 == t {print $2}' <<<"$shared")
    [ "$candidate" = "(none)" ] || [ "$candidate" = "$version" ] && continue
    apt-cache show "${twin%:*}:$native=$candidate" >/dev/null 2>&1 && echo "${twin%:*}:$native=$candidate"
  done < <(apt-cache policy $(awk '{print $1}' <<<"$shared") |
           awk '/^[^ ].*:$/ {twin = substr($1, 1, length($1) - 1)} /^  Candidate:/ {print twin, $2}')
}

# Wine creates its prefix on first use, which takes a while; do it once, up
# front, so that no test's time limit pays for it.
nfc_wine_prefix() {
  if [ -x /usr/lib/wine/wine64 ] && [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
    echo "== creating the Wine prefix"
    nfc_make_wine_prefix "${WINEPREFIX:-$HOME/.wine}" || true
  fi
}

nfc_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$(nproc)"
}
