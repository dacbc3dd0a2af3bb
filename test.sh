#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: a format check of the
# sources, the suite natively, the
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# threading tests under ThreadSanitizer, valgrind's memcheck over library
# calls and sat_cli runs, a short run of every fuzz target, the whole suite for the Raspberry Pi
# (armhf and arm64) under qemu-user, then the Debian packages, the amd64 one
# installed on this machine for a smoke test and removed again, and last the
# library on the kernel's own USB serial driver in virtual machines.
set -euo pipefail
cd "$(dirname "$0")"

if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then
  cat <<'EOF'
Usage: ./test.sh [STAGE...]
Runs the stages named, in this order whatever the order given, or all of
them; first installs what is missing (apt-get, as root or through sudo).
  format    the sources as .clang-format lays them out (clang-format-14)
  native    build in build/, then the whole suite
  valgrind  memcheck over library calls and sat_cli runs
  asan      the suite under AddressSanitizer + UndefinedBehaviorSanitizer
  tsan      the threading tests under ThreadSanitizer
  armhf     cross build for armhf, then the whole suite under qemu-user
  arm64     the same for arm64
  packages  the .deb of each architecture; the amd64 one installed on this
            machine, smoke-tested and purged again
  fuzz      every fuzz target for FUZZ_SECONDS seconds (default 20)
  usb       the library on the kernel's cdc-acm driver in virtual machines
EOF
  exit 0
fi
JOBS=$(nproc)
SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

source ./scripts/apt.sh

TIMES=()
STAGE_NAME="" STAGE_START=0
stage() {
  stage_end
  STAGE_NAME=$*; STAGE_START=$SECONDS
  printf '\n==== %s ====\n' "$*"
}
stage_end() {
  [ -n "$STAGE_NAME" ] && TIMES+=("$(printf '%5d s  %s' $((SECONDS - STAGE_START)) "$STAGE_NAME")")
  STAGE_NAME=""
}

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake --no-warn-unused-cli -S . -B "$dir" -DZUNRA_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_suite() {  # run_suite DIR [ctest args...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

package() {  # package DIR: the .deb of that build, in DIR
  (cd "$1" && cpack -G DEB >/dev/null && ls "$PWD"/zunra-sat_*.deb)
}

# Installs the amd64 package, runs the installed sat_cli against the
# installed sat_sim through the package's own settings file and
# directories, and removes and purges the package again: nothing the driver
# made may stay behind. Runs in a subshell so that its cleanup runs on every
# way out.
smoke_test_installed() (
  deb=$1 sim_pid="" dev=""
  tmp=$(mktemp -d)
  if dpkg -s zunra-sat >/dev/null 2>&1; then
    echo "zunra-sat is installed on this machine; the smoke test would remove it: skipped"
    exit 0
  fi
  # A sat.ini this machine already had is put back after the purge.
  saved=""
  if [ -e /var/zunra_dorvex/sat.ini ]; then saved=$tmp/sat.ini.saved; cp -p /var/zunra_dorvex/sat.ini "$saved"; fi
  cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    if dpkg -s zunra-sat >/dev/null 2>&1; then $SUDO dpkg -P zunra-sat >/dev/null; fi
    if [ -n "$saved" ]; then $SUDO mkdir -p /var/zunra_dorvex && $SUDO cp -p "$saved" /var/zunra_dorvex/sat.ini; fi
    rm -rf "$tmp"
  }
  trap cleanup EXIT

  # On a machine without the directory: a log that root left in its own
  # group and open to every user is given to dialout alone by the postinst,
  # and a link in the place of the old generation is not followed.
  planted=""
  if [ ! -e /var/zunra_dorvex ]; then
    planted=1
    $SUDO mkdir /var/zunra_dorvex
    $SUDO sh -c 'umask 002 && echo old >/var/zunra_dorvex/lib_zunra_dorvex.log'
    (umask 077 && : >"$tmp/victim")
    $SUDO ln -s "$tmp/victim" /var/zunra_dorvex/lib_zunra_dorvex.log.1
  fi

  $SUDO dpkg -i --force-confdef --force-confold "$deb"
  if [ -n "$planted" ]; then
    [ "$(stat -c %a:%G /var/zunra_dorvex /var/zunra_dorvex/lib_zunra_dorvex.log | tr '\n' ' ')" = "2775:dialout 660:dialout " ] ||
      { echo "postinst left the directory or the log closed to dialout"; exit 1; }
    [ "$(stat -c %a "$tmp/victim")" = 600 ] || { echo "postinst followed a link"; exit 1; }
  fi
  lib=$(dpkg -L zunra-sat | grep '/libzunra_sat_rpi\.so$')
  for f in /usr/bin/sat_cli /usr/bin/sat_sim /usr/bin/sat_status /usr/include/zunra_sat.h /usr/include/zunra_sat_legacy.h \
    /var/zunra_dorvex/sat.ini "$lib" /usr/libexec/zunra-sat/zunra-sat-port /usr/sbin/zunra-sat-setup; do
    [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
  done
  grep -q 'RUN+="/usr/libexec/zunra-sat/zunra-sat-port /dev/%k"' /usr/lib/udev/rules.d/60-zunra-sat.rules ||
    { echo "the udev rule does not run the installed zunra-sat-port"; exit 1; }
  pkg-config --exists zunra_sat || { echo "pkg-config does not find zunra_sat"; exit 1; }
  timer=/etc/systemd/system/timers.target.wants/zunra-sat-status.timer
  [ -L "$timer" ] || { echo "the status timer is not enabled"; exit 1; }

  /usr/bin/sat_sim >"$tmp/sim.out" &
  sim_pid=$!
  for _ in $(seq 50); do
    dev=$(head -n1 "$tmp/sim.out")
    [ -n "$dev" ] && break
    sleep 0.1
  done
  [ -n "$dev" ] || { echo "sat_sim did not start"; exit 1; }

  # The package's sat.ini names the simulated unit, with the debug log on.
  # sat_cli loads ./libzunra_sat_rpi.so from its working directory.
  $SUDO sed -i "s|^\[DEFAULT\]\$|[DEFAULT]\nSERIAL=$dev\nDEBUG=true|" /var/zunra_dorvex/sat.ini
  mkdir "$tmp/run" && ln -s "$lib" "$tmp/run/libzunra_sat_rpi.so"
  out=$(cd "$tmp/run" && env -u ZUNRA_SAT_DIR timeout 60 /usr/bin/sat_cli ConsultarSAT)
  printf '%s\n' "$out"
  grep -Eq '^Retorno: [0-9]{6}\|08000\|' <<<"$out" || { echo "sat_cli got no answer from the unit"; exit 1; }
  [ "$(stat -c %a:%G /var/zunra_dorvex/lib_zunra_dorvex.log)" = 660:dialout ] ||
    { echo "the driver log is not 0660 for dialout"; exit 1; }
  env -u ZUNRA_SAT_DIR /usr/bin/sat_status | grep -Eq '^  ConsultarSAT +1 +1 ' ||
    { echo "sat_status does not count sat_cli's call"; exit 1; }
  installed_documents_check "$dev" || exit 1

  kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=""
  $SUDO dpkg -r zunra-sat >/dev/null
  for f in /usr/bin/sat_cli /usr/bin/sat_sim "$lib"; do
    [ ! -e "$f" ] || { echo "left after removal: $f"; exit 1; }
  done
  [ -e /var/zunra_dorvex/sat.ini ] || { echo "sat.ini lost on removal: it is a conffile"; exit 1; }
  $SUDO dpkg -P zunra-sat >/dev/null
  for f in /var/zunra_dorvex /run/zunra_sat; do
    [ "$f" = /var/zunra_dorvex ] && [ -n "$saved" ] && continue  # the machine's own, from before
    [ ! -e "$f" ] || { echo "left after purge: $f"; ls -la "$f"; exit 1; }
  done
  [ ! -L "$timer" ] || { echo "the status timer is still enabled after purge"; exit 1; }
  echo "installed smoke test passed"
)

# The documents the package carries: copyright in Debian's machine-readable
# format, the README, and the examples; the README's Python example, run as
# written from the installed examples against the simulated unit on DEVICE.
installed_documents_check() {  # installed_documents_check DEVICE
  local doc=/usr/share/doc/zunra-sat settings out f
  for f in copyright README.md.gz examples/config.ini examples/venda.xml examples/cancelamento.xml; do
    [ -f "$doc/$f" ] || { echo "not installed: $doc/$f"; return 1; }
  done
  # Header first, with its Format; each Files paragraph has its Copyright
  # and a License whose text follows it.
  awk -v RS= '
    NR == 1 && !/^Format: https:\/\/www\.debian\.org\/doc\/packaging-manuals\/copyright-format\/1\.0\/\n/ { bad = 1 }
    /^Files:/ { files++; if (!/\nCopyright: [^\n]+/ || !/\nLicense: [^\n]+\n [^\n]/) bad = 1 }
    END { exit bad || !files }' "$doc/copyright" || { echo "$doc/copyright is not in Debian's copyright format"; return 1; }

  settings=$(mktemp -d)
  printf '[DEFAULT]\nSERIAL=%s\n' "$1" >"$settings/sat.ini"
  out=$(zcat "$doc/README.md.gz" | sed -n '/^```python$/,/^```$/{/^```/d;p}' |
    (cd "$doc/examples" && ZUNRA_SAT_DIR=$settings timeout 60 python3 -)) || true
  rm -rf "$settings"
  cut -c1-100 <<<"$out"
  grep -Eq '^000123\|08000\|' <<<"$out" && grep -Eq '^000124\|06000\|' <<<"$out" ||
    { echo "the README's Python example did not query and sell from $doc/examples"; return 1; }
}

# ---- hardening stages: valgrind, fuzz smoke -------------------------------

# valgrind's memcheck over 2,000 library calls and over sat_cli runs: zero
# errors, zero leaks. (The full run is `valgrind ... ./lib_calls 10000`.)
valgrind_checks() {  # valgrind_checks BUILD_DIR
  local dir=$1
  need_packages valgrind
  valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
    --error-exitcode=1 "$dir/lib_calls" 2000 > /dev/null
  echo "memcheck clean: 2,000 library calls"
  bash tests/stress/valgrind_cli.sh "$dir"
}

# Each libFuzzer target for FUZZ_SECONDS (default 20) from its seed corpus,
# in a scratch copy so that the repository's corpus stays as committed.
# A longer run: FUZZ_SECONDS=3600 ./test.sh fuzz
fuzz_smoke() {
  need_packages build-essential cmake googletest clang libclang-rt-14-dev
  local dir=build-fuzz seconds=${FUZZ_SECONDS:-20}
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DZUNRA_FUZZ=ON -DZUNRA_WERROR=OFF \
    -DZUNRA_SANITIZE=address,undefined -DZUNRA_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j "$JOBS" --target fuzz_targets
  local work; work=$(mktemp -d /tmp/zunra_fuzz_XXXXXX)
  for corpus in tests/fuzz/corpus/*/; do
    local target; target=$(basename "$corpus")
    [ -x "$dir/$target" ] || continue
    cp -r "$corpus" "$work/$target"
    (cd "$work" && "$OLDPWD/$dir/$target" -max_total_time="$seconds" -timeout=30 -max_len=4096 \
        -print_final_stats=1 "$target" > "$target.log" 2>&1) || {
      tail -n 40 "$work/$target.log"; echo "fuzz finding in $target (artifact in $work)"; return 1; }
    printf '%-18s %s executions in %s s\n' "$target" \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")" "$seconds"
  done
  rm -rf "$work"
}

# clang-format over the tree: a reformat that drifted from .clang-format, or
# one that folded code into a comment, fails here. Version 14 (Debian 12's),
# as each version lays code out a little differently.
format_check() {
  need_packages clang-format-14
  local files
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
  else
    mapfile -t files < <(find . -path './build*' -prune -o -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
  fi
  clang-format-14 --dry-run --Werror "${files[@]}"
  echo "${#files[@]} files as .clang-format lays them out"
}

if [ "${1:-}" = fuzz ]; then  # ./test.sh fuzz: only the fuzz stage
  fuzz_smoke
  exit 0
fi

need_packages build-essential cmake googletest binutils util-linux pkgconf locales libncurses-dev \
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
# The counters test scrapes sat_status's file through Debian's node-exporter;
# where it cannot be installed that test says so and is skipped.
need_packages curl prometheus-node-exporter || echo "prometheus-node-exporter not installed: its test is skipped"

# Stages to run: all by default, or those named on the command line
# (./test.sh armhf packages).
STAGES=${*:-format native valgrind asan tsan armhf arm64 packages fuzz usb}
want() { [[ " $STAGES " == *" $1 "* ]]; }
for s in $STAGES; do
  case $s in format | native | valgrind | asan | tsan | armhf | arm64 | packages | fuzz | usb) ;;
    *) echo "unknown stage: $s (./test.sh --help lists them)" >&2; exit 2 ;;
  esac
done

if want format; then
  stage "format (clang-format-14)"
  format_check
fi

if want native; then
  stage "native build and tests"
  build build
  run_suite build
fi

if want valgrind; then
  stage "valgrind memcheck"
  build build >/dev/null
  valgrind_checks build
fi

if want asan; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer"
  build build-asan -DZUNRA_SANITIZE=address,undefined -DZUNRA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan
fi

if want tsan; then
  stage "ThreadSanitizer (threading tests and host programs)"
  build build-tsan -DZUNRA_SANITIZE=thread -DZUNRA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
  TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -L 'threads|hosts' --no-tests=ignore
fi

cross_build() {  # cross_build TRIPLET
  build "build-$1" -DCMAKE_TOOLCHAIN_FILE="cmake/$1.cmake" -DZUNRA_BENCH=OFF
}
for arch in armhf:arm-linux-gnueabihf arm64:aarch64-linux-gnu; do
  want "${arch%%:*}" || continue
  triplet=${arch#*:}
  stage "$triplet: build, then the whole suite under qemu-user"
  cross_build "$triplet"
  run_suite "build-$triplet"
done

if want packages; then
  stage "Debian packages and the installed smoke test"
  need_packages python3
  build build >/dev/null
  for triplet in arm-linux-gnueabihf aarch64-linux-gnu; do cross_build "$triplet" >/dev/null; done
  for dir in build build-arm-linux-gnueabihf build-aarch64-linux-gnu; do
    deb=$(package "$dir")
    echo "$deb"
    dpkg-deb --field "$deb" Package Architecture Depends
  done
  smoke_test_installed "$(package build)"
fi

if want fuzz; then
  stage "fuzz smoke (libFuzzer, ${FUZZ_SECONDS:-20} s per target)"
  fuzz_smoke
fi

# Debian's kernels for x86-64, arm64 and armhf in qemu: the library on
# cdc-acm's /dev/ttyACM0, the simulated unit on a USB gadget's /dev/ttyGS0.
if want usb; then
  stage "USB serial port: cdc-acm and a gadget in virtual machines"
  need_packages qemu-system-x86 qemu-system-arm kmod cpio
  build build >/dev/null
  tests/usb/run_vm.sh amd64 build
  for arch in arm64:aarch64-linux-gnu armhf:arm-linux-gnueabihf; do
    cross_build "${arch#*:}" >/dev/null
    tests/usb/run_vm.sh "${arch%%:*}" "build-${arch#*:}"
  done
fi

stage_end
printf '\n==== times ====\n'
printf '%s\n' "${TIMES[@]}"
