# The guest that runs 32-bit Windows programs where this machine's kernel
# cannot (ia32 emulation off): QEMU boots Debian's own kernel, which runs
# 32-bit code, over this machine's root filesystem shared read-only. Sourced
# with NFC_ROOT set (common.sh sets it); scripts/guest/run is the entry point.

NFC_GUEST_DIR=${NFC_GUEST_DIR:-$NFC_ROOT/build/guest}

# Modules for the initramfs, in load order (the package has no modules.dep).
nfc_guest_modules=(drivers/virtio/virtio_ring drivers/virtio/virtio
                   drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci_legacy_dev
                   drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache
                   net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p fs/overlayfs/overlay)

# Can this machine's kernel start the 32-bit Wine loader itself?
nfc_native_wine32() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The one decision "in a guest or here": 32-bit Windows programs run in the
# guest where this kernel cannot start them, or where NFC_WINE32_GUEST=1 asks
# for the guest anyway. Inside the guest neither holds (its kernel runs 32-bit
# code, and scripts/guest/run does not pass NFC_WINE32_GUEST in), so a
# command never boots a guest from within one.
nfc_wine32_needs_guest() {
  [ "${NFC_WINE32_GUEST:-}" = 1 ] || ! nfc_native_wine32
}

# Why the guest path is taken, for the lines that report it.
nfc_wine32_guest_because() {
  if [ "${NFC_WINE32_GUEST:-}" = 1 ]; then
    echo "NFC_WINE32_GUEST=1 asks for the guest"
  else
    echo "this kernel cannot run 32-bit programs (ia32 emulation is off)"
  fi
}

# The one kernel package that Debian's linux-image-amd64 points at now.
nfc_guest_kernel_package() {
  local name
  name=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [ -z "$name" ]; then
    apt-get update -q >/dev/null 2>&1
    name=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  echo "$name"
}

# Builds the kernel and initramfs into $NFC_GUEST_DIR once; later calls find
# them. The initramfs is rebuilt when scripts/guest/init changes.
nfc_guest_boot_files() {
  local init=$NFC_ROOT/scripts/guest/init stamp
  mkdir -p "$NFC_GUEST_DIR"
  (
    flock 9
    stamp=$(sha256sum "$init" | cut -c1-16)
    if [ -f "$NFC_GUEST_DIR/vmlinuz" ] && [ -f "$NFC_GUEST_DIR/initrd.gz" ] &&
       [ "$(cat "$NFC_GUEST_DIR/initrd.stamp" 2>/dev/null)" = "$stamp" ]; then
      exit 0
    fi
    nfc_ensure_packages guest || exit 1
    if [ ! -f "$NFC_GUEST_DIR/vmlinuz" ] || [ ! -d "$NFC_GUEST_DIR/modules" ]; then
      local pkg tmp
      pkg=$(nfc_guest_kernel_package)
      if [ -z "$pkg" ]; then
        echo "guest: apt-cache names no kernel package for linux-image-amd64" >&2
        exit 1
      fi
      echo "== guest: fetching $pkg" >&2
      tmp=$(mktemp -d)
      chmod 755 "$tmp"   # apt-get download writes as the _apt user where it can
      if ! (cd "$tmp" && apt-get download -q "$pkg" >/dev/null 2>&1); then
        echo "guest: apt-get download $pkg failed" >&2
        rm -rf "$tmp"; exit 1
      fi
      dpkg-deb -x "$tmp"/*.deb "$tmp/x"
      rm -rf "$NFC_GUEST_DIR/modules"; mkdir -p "$NFC_GUEST_DIR/modules"
      local m
      for m in "${nfc_guest_modules[@]}"; do
        cp "$tmp"/x/lib/modules/*/kernel/$m.ko "$NFC_GUEST_DIR/modules/" || { rm -rf "$tmp"; exit 1; }
      done
      cp "$tmp"/x/boot/vmlinuz-* "$NFC_GUEST_DIR/vmlinuz"
      echo "$pkg" >"$NFC_GUEST_DIR/kernel.package"
      rm -rf "$tmp"
    fi
    local root
    root=$(mktemp -d)
    mkdir -p "$root"/{bin,dev,proc,sys,newroot,lib/modules}
    cp /bin/busybox "$root/bin/busybox"
    cp "$NFC_GUEST_DIR"/modules/*.ko "$root/lib/modules/"
    cp "$init" "$root/init"; chmod 755 "$root/init"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$NFC_GUEST_DIR/initrd.gz.new"
    mv "$NFC_GUEST_DIR/initrd.gz.new" "$NFC_GUEST_DIR/initrd.gz"
    echo "$stamp" >"$NFC_GUEST_DIR/initrd.stamp"
    rm -rf "$root"
  ) 9>"$NFC_GUEST_DIR/.lock"
}

# The Wine prefix that every guest starts from, made in a guest once per Wine
# version and kept in $NFC_GUEST_DIR (a fresh prefix costs minutes there).
nfc_guest_prefix_template() {
  echo "$NFC_GUEST_DIR/prefix-$(dpkg-query -W -f='${Version}' wine64 2>/dev/null | tr -c 'A-Za-z0-9.+\n' '_').tar"
}
