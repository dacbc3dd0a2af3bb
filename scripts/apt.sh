# Package installation shared by demo.sh and test.sh, which source this file
# after setting SUDO (empty when running as root).

# apt-get, waiting up to 10 minutes while another package manager holds its
# locks (on a freshly booted system the automatic update does).
apt_get() {
  local deadline=$((SECONDS + 600)) err
  err=$(mktemp)
  until $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" 2>"$err"; do
    if ! grep -q 'Could not get lock' "$err" || ((SECONDS >= deadline)); then
      cat "$err" >&2; rm -f "$err"; return 1
    fi
    echo "Waiting for the package manager: $(grep -m1 'Could not get lock' "$err")"
    sleep 5
  done
  cat "$err" >&2; rm -f "$err"
}

need_packages() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt_get update -qq
    apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
