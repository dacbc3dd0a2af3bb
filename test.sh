#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: the suite natively, the
# suite again under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# threading tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
JOBS=$(nproc)

need_packages() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if ((${#missing[@]})); then
    local sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

stage() { printf '\n==== %s ====\n' "$*"; }

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DZUNRA_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_suite() {  # run_suite DIR [ctest args...]
  local dir=$1; shift
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}

need_packages build-essential cmake googletest binutils util-linux

stage "native build and tests"
build build
run_suite build

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DZUNRA_SANITIZE=address,undefined -DZUNRA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-asan

stage "ThreadSanitizer (threading tests)"
build build-tsan -DZUNRA_SANITIZE=thread -DZUNRA_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan -L threads --no-tests=ignore
