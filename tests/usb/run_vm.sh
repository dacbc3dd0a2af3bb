#!/usr/bin/env bash
# Boots Debian's kernel for ARCH in qemu with a small initramfs (busybox, the
# USB modules, our programs, tests/usb/vm_init.sh as /init) and runs the USB
# cases there. Debian's packages are fetched once into BUILD_DIR/usb-vm (apt
# lists of our own; nothing is installed here). Fails on any failed case, a
# missing line or a timeout.
#
#   tests/usb/run_vm.sh amd64|arm64|armhf BUILD_DIR    (USB_CASES="6 6 6": chosen cases)
set -euo pipefail
arch=$1
build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
root=$(realpath "$here/../..")
VM_TIMEOUT=${USB_VM_TIMEOUT:-420} # seconds for a whole boot, cases included
CASES=${USB_CASES:-1 2 3 4 5 6 7 8}
fail() { echo "run_vm.sh: $*" >&2; exit 1; }

case $arch in
  amd64) flavour=amd64 qemu=qemu-system-x86_64 console=ttyS0 machine=(-M pc) triplet=x86_64-linux-gnu
    libdirs="/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu" ;;
  arm64) flavour=arm64 qemu=qemu-system-aarch64 console=ttyAMA0 machine=(-M virt -cpu cortex-a57)
    triplet=aarch64-linux-gnu libdirs="/usr/aarch64-linux-gnu/lib" ;;
  armhf) flavour=armmp qemu=qemu-system-arm console=ttyAMA0 machine=(-M virt) triplet=arm-linux-gnueabihf
    libdirs="/usr/arm-linux-gnueabihf/lib" ;;
  *) fail "unknown architecture $arch" ;;
esac

# ---- Debian's kernel, busybox and udevadm for ARCH, fetched once ----------
# udevadm (case 8) with the libraries it needs.
udev_packages=(udev libkmod2 libacl1 libblkid1 libcap2 libselinux1 libpcre2-8-0 libzstd1 liblzma5 libssl3)
cache=$build/usb-vm
apt_dir=$cache/apt-$arch
apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
  -o "Dir::Cache=$apt_dir/cache")
debs=$cache/debs-$arch
if ! compgen -G "$debs/linux-image-*.deb" >/dev/null || ! compgen -G "$debs/busybox-static_*.deb" >/dev/null ||
  ! compgen -G "$debs/udev_*.deb" >/dev/null; then
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$debs"
  touch "$apt_dir/status"
  apt-get "${apt_opts[@]}" update -qq
  # linux-image-FLAVOUR only names the current kernel package.
  image=$(apt-cache "${apt_opts[@]}" depends "linux-image-$flavour" | sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1)
  [ -n "$image" ] || fail "no kernel package for linux-image-$flavour"
  # apt's download user cannot write into root's build tree: fetch as root.
  (cd "$debs" && apt-get "${apt_opts[@]}" -o APT::Sandbox::User=root download "$image" busybox-static \
    "${udev_packages[@]}")
fi
udev_tree=$cache/udev-$arch
if [ ! -x "$udev_tree/bin/udevadm" ]; then
  rm -rf "$udev_tree.tmp"
  for p in "${udev_packages[@]}"; do dpkg-deb -x "$(ls "$debs/${p}"_*.deb | head -n 1)" "$udev_tree.tmp"; done
  mv "$udev_tree.tmp" "$udev_tree"
fi
libdirs="$libdirs $udev_tree/lib/$triplet $udev_tree/usr/lib/$triplet"
kernel_deb=$(ls "$debs"/linux-image-*.deb | head -n 1)
tree=$cache/kernel-$arch
if [ ! -d "$tree/lib/modules" ]; then
  rm -rf "$tree.tmp"
  dpkg-deb -x "$kernel_deb" "$tree.tmp"
  dpkg-deb -x "$(ls "$debs"/busybox-static_*.deb | head -n 1)" "$tree.tmp/busybox"
  depmod -b "$tree.tmp" "$(ls "$tree.tmp/lib/modules")"
  mv "$tree.tmp" "$tree"
fi
version=$(ls "$tree/lib/modules")
moddir=$tree/lib/modules/$version

# ---- the initramfs ---------------------------------------------------------
ir=$(mktemp -d "$cache/initramfs-$arch.XXXXXX")
chmod 755 "$ir" # the machine's /, which case 7's till user must be able to walk
trap 'rm -rf "$ir"' EXIT
mkdir -p "$ir"/{bin,dev,proc,sys,tmp,etc,lib/modules,opt/zunra/examples,usr/bin,usr/sbin,usr/lib/udev/rules.d}
cp "$tree/busybox/bin/busybox" "$ir/bin/busybox"
# The package's udev rules and zunra-sat-setup where the package puts them.
cp "$udev_tree/bin/udevadm" "$ir/usr/bin/"
cp "$build/packaging/60-zunra-sat.rules" "$ir/usr/lib/udev/rules.d/"
install -m 755 "$build/zunra-sat-setup" "$ir/usr/sbin/"
printf 'root:x:0:\ndialout:x:20:\n' >"$ir/etc/group"
install -m 755 "$here/vm_init.sh" "$ir/init"
echo "CASES=\"$CASES\"" >"$ir/etc/usb_cases.conf"

# Modules with what they need, in load order, from modules.dep.
declare -A seen=()
add_module() { # add_module PATH (relative to the module directory)
  [ -z "${seen[$1]:-}" ] || return 0
  seen[$1]=1
  local dep
  for dep in $(sed -n "s|^$1: *||p" "$moddir/modules.dep"); do add_module "$dep"; done
  [[ $1 == *.ko ]] || fail "$1: only plain .ko modules are handled"
  cp "$moddir/$1" "$ir/lib/modules/"
  basename "$1" >>"$ir/lib/modules/load_order"
}
for name in dummy_hcd usb_f_acm cdc-acm; do
  path=$(grep -o "^[^:]*/$name\.ko[^:]*" "$moddir/modules.dep" | head -n 1)
  [ -n "$path" ] || fail "module $name is not in $kernel_deb"
  add_module "$path"
done

# Our programs, the shared libraries they need and the dynamic loader.
programs=(sat_cli sat_sim usb_cases zunra-sat-port libzunra_sat_rpi.so)
for p in "${programs[@]}"; do cp "$build/$p" "$ir/opt/zunra/" || fail "$build/$p is missing"; done
cp "$root"/examples/{config.ini,venda.xml,cancelamento.xml} "$ir/opt/zunra/examples/"
find_lib() {
  local d
  for d in $libdirs; do [ -e "$d/$1" ] && { echo "$d/$1"; return; }; done
  fail "$1 not found in $libdirs"
}
add_libraries() { # add_libraries ELF
  local lib file
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -z "${seen[$lib]:-}" ] || continue
    seen[$lib]=1
    file=$(find_lib "$lib")
    cp -L "$file" "$ir/lib/$lib"
    add_libraries "$file"
  done
}
for p in "${programs[@]}"; do add_libraries "$build/$p"; done
add_libraries "$ir/usr/bin/udevadm"
interp=$(readelf -l "$build/sat_cli" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
mkdir -p "$ir$(dirname "$interp")"
cp -L "$(find_lib "$(basename "$interp")")" "$ir$interp"
image=$cache/initramfs-$arch.cpio.gz
(cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) >"$image"

# ---- boot ------------------------------------------------------------------
# KVM for this machine's own architecture when offered; nested KVM can hang,
# so its boot is bounded and TCG follows.
accels=(tcg)
if [ "$arch" = amd64 ] && [ "$(uname -m)" = x86_64 ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
  accels=(kvm tcg)
fi
log=$cache/console-$arch.log
for accel in "${accels[@]}"; do
  limit=$VM_TIMEOUT
  [ "$accel" = kvm ] && limit=120
  echo "booting Debian's $version kernel ($qemu, $accel)"
  set +e
  timeout --kill-after=10 "$limit" "$qemu" "${machine[@]}" -accel "$accel" -m 768 -smp 1 \
    -nodefaults -display none -serial stdio -no-reboot \
    -kernel "$tree/boot/vmlinuz-$version" -initrd "$image" -append "console=$console panic=-1 loglevel=1" \
    </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep --line-buffered -E '^(usb-vm|case |[0-9]+ passed)'
  rc=${PIPESTATUS[0]}
  set -e
  grep -q '^usb-vm: link up' "$log" && break
done

# Every case passed, the count line last, no timeout.
ok=1
for n in $CASES; do grep -Eq "^case $n .*: passed" "$log" || { echo "case $n: failed or no line"; ok=0; }; done
last=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)
[ "$rc" != 124 ] && [ "$rc" != 137 ] || { echo "$arch: timed out after $limit s (console: $log)"; ok=0; }
if [ "$ok" = 0 ] || [[ ! $last =~ ' 0 failed'$ ]]; then
  echo "$arch: USB cases failed (console: $log)"
  tail -n 60 "$log"
  exit 1
fi
echo "$arch: $last"
