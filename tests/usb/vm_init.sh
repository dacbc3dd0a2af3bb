#!/bin/busybox sh
# /init of the USB stage's virtual machine. Loads the kernel's USB serial
# drivers, joins a CDC-ACM gadget on dummy_hcd to cdc-acm (the gadget side is
# /dev/ttyGS0, the host side /dev/ttyACM0), runs the cases with the library on
# the host side and the simulated unit on the gadget side, prints one line per
# case and "N passed, M failed" last, and powers off.
# (busybox sh has no pipefail; every step checks what it needs itself.)
set -eu
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p -m 1777 /run/lock # where a till's programs share their device locks
echo 1 >/proc/sys/kernel/printk # kernel chatter off the console

# Cases listed here (by number) are expected to fail for now: a failure
# is reported as such and not counted.
EXPECTED_TO_FAIL=""
CASES="1 2 3 4 5 6 7" # all of them, or those the host asked for
. /etc/usb_cases.conf
APP=/opt/zunra
PASSED=0 FAILED=0 XFAILED=0

finish() {
  [ "$XFAILED" = 0 ] || echo "$XFAILED expected to fail (cases $EXPECTED_TO_FAIL)"
  echo "$PASSED passed, $FAILED failed"
  sync
  poweroff -f
}

# result NUMBER NAME STATUS DETAIL: one line per case.
result() {
  local n=$1 name=$2 rc=$3 detail=$4 expected=no
  for x in $EXPECTED_TO_FAIL; do [ "$x" = "$n" ] && expected=yes; done
  if [ "$rc" = 0 ]; then
    PASSED=$((PASSED + 1))
    [ "$expected" = no ] && status=passed || status="passed (listed as expected to fail: make it must-pass)"
  elif [ "$expected" = yes ]; then
    XFAILED=$((XFAILED + 1))
    status="expected failure"
  else
    FAILED=$((FAILED + 1))
    status=FAILED
  fi
  echo "case $n $name: $status - $detail"
}

for m in $(cat /lib/modules/load_order); do
  insmod "/lib/modules/$m" || echo "usb-vm: could not load $m"
done

# The gadget: one configuration with one ACM function, bound to dummy_hcd's
# device controller.
mount -t configfs none /sys/kernel/config
g=/sys/kernel/config/usb_gadget/sat
mkdir "$g"
echo 0x1d6b >"$g/idVendor"
echo 0x0104 >"$g/idProduct"
mkdir "$g/strings/0x409" "$g/configs/c.1" "$g/functions/acm.usb0"
echo "unidade simulada" >"$g/strings/0x409/product"
ln -s "$g/functions/acm.usb0" "$g/configs/c.1/"
ls /sys/class/udc >"$g/UDC"

i=0
until [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ]; do
  i=$((i + 1))
  if [ "$i" -gt 100 ]; then
    echo "usb-vm: /dev/ttyACM0 and /dev/ttyGS0 did not appear"
    finish
  fi
  sleep 0.1
done
echo "usb-vm: link up ($(uname -m), kernel $(uname -r)) after $(cut -d' ' -f1 /proc/uptime) s"

# Case 1: the demo's technician session with the real sat_cli against sat_sim
# serving the gadget side; every reply code must be a success (xx000).
case1() {
  local work=/tmp/case1 sim="" codes="" bad=0 key="" code
  mkdir -p "$work/settings" "$work/session"
  cp "$APP/sat_cli" "$APP/libzunra_sat_rpi.so" "$APP/examples/config.ini" "$APP/examples/venda.xml" "$work/session/"
  "$APP/sat_sim" --device /dev/ttyGS0 --unactivated >"$work/sim.out" 2>&1 &
  sim=$!
  i=0
  until [ -s "$work/sim.out" ] || [ "$i" -gt 50 ]; do i=$((i + 1)); sleep 0.1; done
  cd "$work/session"
  export ZUNRA_SAT_DIR="$work/settings" # no sat.ini: the unit is /dev/ttyACM0
  run() {
    timeout 120 ./sat_cli "$@" >last.out 2>&1 || bad=1
    code=$(sed -n 's/^Retorno: [0-9]*|\([0-9]*\)|.*/\1/p; s/^Cod Retorno: \([0-9]*\)|.*/\1/p' last.out | head -n 1)
    codes="$codes $1=${code:-?}"
    case "$code" in ??000) ;; *) bad=1 ;; esac
  }
  run ConsultarSAT
  run AtivarSAT 12345678
  run ConsultarStatusOperacional 12345678
  run EnviarDadosVenda 12345678 venda.xml
  key=$(sed -n 's/^Chave CFe: //p' last.out)
  run ConsultarUltimaSessaoFiscal 12345678
  sed "s/chCanc=\"[^\"]*\"/chCanc=\"$key\"/" "$APP/examples/cancelamento.xml" >cancelamento.xml
  run CancelarUltimaVenda 12345678 cancelamento.xml
  run ExtrairLogs 12345678
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  cd /
  unset ZUNRA_SAT_DIR
  [ "$bad" = 0 ] && [ -n "$key" ]
  rc=$?
  result 1 "technician session (sat_cli, sat_sim --device)" "$rc" "codes:$codes"
}

# Cases 2 to 6: one run of usb_cases each, in a settings directory of its own.
library_case() {
  local n=$1 name=$2 verb=$3 out rc=0
  mkdir -p "/tmp/case$n"
  out=$(cd "/tmp/case$n" && ZUNRA_SAT_DIR="/tmp/case$n" timeout 240 "$APP/usb_cases" "$verb" 2>&1) || rc=$?
  [ -n "$out" ] || out="no report (exit status $rc)"
  result "$n" "$name" "$rc" "$(echo "$out" | tail -n 1)"
  # What the case said before its last line (observations, or why it failed).
  echo "$out" | head -n -1 | sed 's/^/    /'
  [ -e /dev/ttyACM0 ] || echo "usb-vm: /dev/ttyACM0 is gone after case $n"
}

# Case 7: case 5 by a till user, who may not set the port up: what udev does
# when the unit is plugged in (the package's rule) does it, as root.
case7() {
  mkdir -p -m 1777 /tmp/case7
  if chgrp 20 /dev/ttyACM0 && chmod 660 /dev/ttyACM0 && "$APP/zunra-sat-port" /dev/ttyACM0; then
    library_case 7 "unit that stopped reading, till user" stalled-till
  else
    result 7 "unit that stopped reading, till user" 1 "zunra-sat-port /dev/ttyACM0 failed"
  fi
}

set +e
t=$(cut -d' ' -f1 /proc/uptime)
for n in $CASES; do
  case $n in
    1) case1 ;;
    2) library_case 2 "dropped sale reply recovered" drop ;;
    3) library_case 3 "3,000,000-byte ExtrairLogs reply" logs ;;
    4) library_case 4 "unplugged mid-reply" unplug ;;
    5) library_case 5 "unit that stopped reading" stalled ;;
    6) library_case 6 "two processes on one device" two ;;
    7) case7 ;;
  esac
done
echo "usb-vm: cases took $(awk "BEGIN { print $(cut -d' ' -f1 /proc/uptime) - $t }") s"
[ "$FAILED" = 0 ] || dmesg | tail -n 40
finish
