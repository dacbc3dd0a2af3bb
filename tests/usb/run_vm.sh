#!/usr/bin/env bash
# The library on the kernel's own USB serial driver: boots Debian's kernel for
# ARCH in qemu with a small initramfs (busybox, the USB modules, our programs
# and tests/usb/vm_init.sh as /init) and runs the cases of vm_init.sh there.
#
#   tests/usb/run_vm.sh ARCH BUILD_DIR      ARCH: amd64, arm64 or armhf
#
# BUILD_DIR holds a build for ARCH (sat_cli, sat_sim, usb_cases, zunra-sat-port,
# the library).
# Debian's packages are fetched once into BUILD_DIR/usb-vm with apt-get
# download (through apt lists of our own, so the machine's apt setup is left
# as it is) and unpacked there; nothing is installed and no module is loaded
# on this machine. Fails on any failed case, a missing line or a timeout.
set -euo pipefail
arch=$1
build=$(realpath "$2")
here=$(dirname "$(realpath "$0")")
root=$(realpath "$here/../..")

# Cases expected to fail for now (none).
EXPECTED_TO_FAIL=""
VM_TIMEOUT=${USB_VM_TIMEOUT:-420}  # seconds for a whole boot, cases included
CASES=${USB_CASES:-1 2 3 4 5 6 7}     # e.g. USB_CASES="6 6 6" to repeat one case

case $arch in
  amd64)
    flavour=amd64 qemu=qemu-system-x86_64 console=ttyS0 libdirs="/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu"
    machine=(-M pc) ;;
  arm64)
    flavour=arm64 qemu=qemu-system-aarch64 console=ttyAMA0 libdirs="/usr/aarch64-linux-gnu/lib"
    machine=(-M virt -cpu cortex-a57) ;;
  armhf)
    flavour=armmp qemu=qemu-system-arm console=ttyAMA0 libdirs="/usr/arm-linux-gnueabihf/lib"
    machine=(-M virt) ;;
  *) echo "run_vm.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

cache=$build/usb-vm
mkdir -p "$cache"

# ---- Debian's kernel and busybox for ARCH, fetched once -------------------
apt_dir=$cache/apt-$arch
apt_opts=(-o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
  -o "Dir::Cache=$apt_dir/cache")
debs=$cache/debs-$arch
if ! compgen -G "$debs/linux-image-*.deb" >/dev/null || ! compgen -G "$debs/busybox-static_*.deb" >/dev/null; then
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$debs"
  touch "$apt_dir/status"
  apt-get "${apt_opts[@]}" update -qq
  # linux-image-FLAVOUR only names the current kernel package.
  image=$(apt-cache "${apt_opts[@]}" depends "linux-image-$flavour" | sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1)
  [ -n "$image" ] || { echo "run_vm.sh: no kernel package for linux-image-$flavour" >&2; exit 1; }
  # apt's download user cannot write into root's build tree: fetch as root.
  (cd "$debs" && apt-get "${apt_opts[@]}" -o APT::Sandbox::User=root download "$image" busybox-static)
fi
kernel_deb=$(ls "$debs"/linux-image-*.deb | head -n 1)
tree=$cache/kernel-$arch
if [ ! -d "$tree/lib/modules" ]; then
  rm -rf "$tree.tmp"
  dpkg-deb -x "$kernel_deb" "$tree.tmp"
  dpkg-deb -x "$(ls "$debs"/busybox-static_*.deb | head -n 1)" "$tree.tmp/busybox"
  version=$(ls "$tree.tmp/lib/modules")
  depmod -b "$tree.tmp" "$version"
  mv "$tree.tmp" "$tree"
fi
version=$(ls "$tree/lib/modules")
vmlinuz=$tree/boot/vmlinuz-$version
moddir=$tree/lib/modules/$version

# ---- the initramfs ---------------------------------------------------------
ir=$(mktemp -d "$cache/initramfs-$arch.XXXXXX")
chmod 755 "$ir" # the machine's /, which case 7's till user must be able to walk
trap 'rm -rf "$ir"' EXIT
mkdir -p "$ir"/{bin,dev,proc,sys,tmp,etc,lib/modules,opt/zunra/examples}
cp "$tree/busybox/bin/busybox" "$ir/bin/busybox"
cp "$here/vm_init.sh" "$ir/init"
chmod 755 "$ir/init"
printf 'EXPECTED_TO_FAIL="%s"\nCASES="%s"\n' "$EXPECTED_TO_FAIL" "$CASES" >"$ir/etc/usb_cases.conf"

# Modules with what they need, in load order, from modules.dep.
declare -A loaded=()
load_order=()
add_module() {  # add_module PATH (relative to the module directory)
  local path=$1 dep
  [ -z "${loaded[$path]:-}" ] || return 0
  loaded[$path]=1
  for dep in $(sed -n "s|^$path: *||p" "$moddir/modules.dep"); do add_module "$dep"; done
  cp "$moddir/$path" "$ir/lib/modules/"
  load_order+=("$(basename "$path")")
}
for name in dummy_hcd usb_f_acm cdc-acm; do
  path=$(grep -o "^[^:]*/$name\.ko[^:]*" "$moddir/modules.dep" | head -n 1)
  [ -n "$path" ] || { echo "run_vm.sh: module $name is not in $kernel_deb" >&2; exit 1; }
  case $path in *.ko) ;; *) echo "run_vm.sh: $path: only plain .ko modules are handled" >&2; exit 1 ;; esac
  add_module "$path"
done
printf '%s\n' "${load_order[@]}" >"$ir/lib/modules/load_order"

# Our programs, with the shared libraries they need and the dynamic loader
# where they expect it.
programs=(sat_cli sat_sim usb_cases zunra-sat-port libzunra_sat_rpi.so)
for p in "${programs[@]}"; do
  [ -e "$build/$p" ] || { echo "run_vm.sh: $build/$p is missing" >&2; exit 1; }
  cp "$build/$p" "$ir/opt/zunra/"
done
cp "$root"/examples/{config.ini,venda.xml,cancelamento.xml} "$ir/opt/zunra/examples/"
find_lib() {
  local d
  for d in $libdirs; do [ -e "$d/$1" ] && { echo "$d/$1"; return; }; done
  echo "run_vm.sh: $1 not found in $libdirs" >&2
  return 1
}
declare -A copied=()
add_libraries() {  # add_libraries ELF
  local lib file
  for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -z "${copied[$lib]:-}" ] || continue
    copied[$lib]=1
    file=$(find_lib "$lib")
    cp -L "$file" "$ir/lib/$lib"
    add_libraries "$file"
  done
}
for p in "${programs[@]}"; do add_libraries "$build/$p"; done
interp=$(readelf -l "$build/sat_cli" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
mkdir -p "$ir$(dirname "$interp")"
cp -L "$(find_lib "$(basename "$interp")")" "$ir$interp"

image=$cache/initramfs-$arch.cpio.gz
(cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) >"$image"

# ---- boot ------------------------------------------------------------------
# KVM only for a guest of this machine's own architecture, when the processor
# offers it; nested KVM can hang, so its boot is bounded and TCG follows.
accels=(tcg)
if [ "$arch" = amd64 ] && [ "$(uname -m)" = x86_64 ] && [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo; then
  accels=(kvm tcg)
fi
log=$cache/console-$arch.log
for accel in "${accels[@]}"; do
  limit=$VM_TIMEOUT
  [ "$accel" = kvm ] && limit=120
  echo "booting Debian's $version kernel ($qemu, $accel)"
  start=$SECONDS
  set +e
  timeout --kill-after=10 "$limit" "$qemu" "${machine[@]}" -accel "$accel" -m 768 -smp 1 \
    -nodefaults -display none -serial stdio -no-reboot \
    -kernel "$vmlinuz" -initrd "$image" -append "console=$console panic=-1 loglevel=1" \
    </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep --line-buffered -E '^(usb-vm|case |    |[0-9]+ (passed|expected))'
  rc=${PIPESTATUS[0]}
  set -e
  echo "vm run: $((SECONDS - start)) s (exit status $rc)"
  grep -q '^usb-vm: link up' "$log" && break
  [ "$accel" = kvm ] && echo "KVM boot did not come up: falling back to TCG"
done

# Every case reported, none failed, and the count line last.
missing=0
for n in $CASES; do
  grep -Eq "^case $n .*: (passed|expected failure)" "$log" || {
    grep -q "^case $n " "$log" || echo "case $n: no line"
    missing=1
  }
done
last=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)
if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
  echo "$arch: the virtual machine timed out after $VM_TIMEOUT s (console: $log)"
  exit 1
fi
if [ "$missing" = 1 ] || [[ ! $last =~ ' 0 failed'$ ]]; then
  echo "$arch: USB cases failed (console: $log)"
  tail -n 60 "$log"
  exit 1
fi
echo "$arch: $last"
