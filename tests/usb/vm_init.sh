#!/bin/busybox sh
# /init of the USB stage's virtual machine: joins a CDC-ACM gadget on dummy_hcd
# (/dev/ttyGS0) to cdc-acm (/dev/ttyACM0), runs the cases with the library on
# the host side and the simulated unit on the gadget side, prints one line per
# case and "N passed, M failed" last, and powers off.
set -eu
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
# The device lock's directory, as the package's tmpfiles.d entry makes it.
mkdir -p /run/zunra_sat && chgrp 20 /run/zunra_sat && chmod 2770 /run/zunra_sat
echo 1 >/proc/sys/kernel/printk
CASES="1 2 3 4 5 6 7 8"
. /etc/usb_cases.conf # CASES as the host asked
APP=/opt/zunra
PASSED=0 FAILED=0

finish() {
  echo "$PASSED passed, $FAILED failed"
  sync
  poweroff -f
}

result() { # result NUMBER NAME STATUS DETAIL
  if [ "$3" = 0 ]; then PASSED=$((PASSED + 1)) status=passed; else FAILED=$((FAILED + 1)) status=FAILED; fi
  echo "case $1 $2: $status - $4"
}

for m in $(cat /lib/modules/load_order); do insmod "/lib/modules/$m" || echo "usb-vm: could not load $m"; done

# The gadget: one configuration with one ACM function, bound to dummy_hcd.
mount -t configfs none /sys/kernel/config
g=/sys/kernel/config/usb_gadget/sat
mkdir "$g" "$g/configs/c.1" "$g/functions/acm.usb0"
echo 0x1d6b >"$g/idVendor"
echo 0x0104 >"$g/idProduct"
SERIAL=ZS0001-a
mkdir "$g/strings/0x409"
echo "$SERIAL" >"$g/strings/0x409/serialnumber"
ln -s "$g/functions/acm.usb0" "$g/configs/c.1/"
ls /sys/class/udc >"$g/UDC"
i=0
until [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ]; do
  i=$((i + 1))
  [ "$i" -le 100 ] || { echo "usb-vm: /dev/ttyACM0 and /dev/ttyGS0 did not appear"; finish; }
  sleep 0.1
done
echo "usb-vm: link up ($(uname -m), kernel $(uname -r))"

# Case 1: the demo's technician session, the real sat_cli against
# sat_sim --device: every reply code a success (xx000).
case1() {
  local work=/tmp/case1 bad=0 codes="" code key
  mkdir -p "$work/settings" "$work/session"
  cp "$APP/sat_cli" "$APP/libzunra_sat_rpi.so" "$APP/examples/config.ini" "$APP/examples/venda.xml" "$work/session/"
  "$APP/sat_sim" --device /dev/ttyGS0 --unactivated >"$work/sim.out" 2>&1 &
  i=0
  until [ -s "$work/sim.out" ] || [ "$i" -gt 50 ]; do i=$((i + 1)); sleep 0.1; done
  cd "$work/session"
  run() {
    ZUNRA_SAT_DIR="$work/settings" timeout 120 ./sat_cli "$@" >last.out 2>&1 || bad=1
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
  kill $! 2>/dev/null || true
  wait $! 2>/dev/null || true
  cd /
  [ "$bad" = 0 ] && [ -n "$key" ]
  result 1 "technician session (sat_cli, sat_sim --device)" $? "codes:$codes"
}

# Case 8: the package's udev rules, then pinned to the unit by
# zunra-sat-setup from the gadget's sysfs attributes, for the unit and for
# another device with the same ids but another serial number (a printer),
# then unpinned. udevadm test shows what udev does with ttyACM0.
udev_does() {
  local out did=""
  out=$(udevadm test --action=add /sys/class/tty/ttyACM0 2>/dev/null)
  echo "$out" | grep -q '^DEVLINKS=.*/dev/zunra_sat' && did=link
  echo "$out" | grep -q "^run: '.*/zunra-sat-port /dev/ttyACM0'" && did="$did+run"
  echo "${did:-none}"
}
gadget_serial() { # the unit unplugged, given another serial number, plugged in again
  local udc i=0
  udc=$(cat "$g/UDC")
  echo "" >"$g/UDC"
  until [ ! -e /dev/ttyACM0 ] || [ "$i" -gt 50 ]; do i=$((i + 1)); sleep 0.1; done
  echo "$1" >"$g/strings/0x409/serialnumber"
  echo "$udc" >"$g/UDC"
  until [ -e /dev/ttyACM0 ] || [ "$i" -gt 100 ]; do i=$((i + 1)); sleep 0.1; done
  [ -e /dev/ttyACM0 ]
}
case8() {
  local rule=/etc/udev/rules.d/60-zunra-sat.rules bad=0 generic pinned other unpinned refused=""
  generic=$(udev_does)
  zunra-sat-setup pin >/dev/null 2>&1 || bad=1 # the one ttyACM device
  grep -q "ATTRS{idVendor}==\"1d6b\", ATTRS{idProduct}==\"0104\", ATTRS{serial}==\"$SERIAL\"" "$rule" || bad=1
  pinned=$(udev_does)
  gadget_serial PRINTER7 || bad=1
  other=$(udev_does)
  gadget_serial "$SERIAL" || bad=1
  # Refused: the gadget's own side (no ACM port), and an administrator's file.
  zunra-sat-setup pin /dev/ttyGS0 2>/dev/null && refused="$refused ttyGS0"
  zunra-sat-setup unpin >/dev/null 2>&1 || bad=1
  [ ! -e "$rule" ] || bad=1
  unpinned=$(udev_does)
  echo "# the administrator's own" >"$rule"
  zunra-sat-setup pin /dev/ttyACM0 2>/dev/null && refused="$refused admin-file"
  [ "$(cat "$rule")" = "# the administrator's own" ] || bad=1
  rm -f "$rule"
  [ "$bad" = 0 ] && [ -z "$refused" ] &&
    [ "$generic $pinned $other $unpinned" = "link+run link+run none link+run" ]
  result 8 "udev rules pinned to the unit" $? \
    "generic: $generic; pinned: $pinned; same ids, serial PRINTER7: $other; unpinned: $unpinned${refused:+; not refused:$refused}"
}

# Cases 2 to 7: one run of usb_cases each, in a settings directory of its own.
library_case() { # library_case NUMBER NAME VERB
  local out rc=0
  mkdir -p -m 1777 "/tmp/case$1"
  out=$(cd "/tmp/case$1" && ZUNRA_SAT_DIR="/tmp/case$1" timeout 240 "$APP/usb_cases" "$3" 2>&1) || rc=$?
  result "$1" "$2" "$rc" "$(echo "${out:-no report (exit status $rc)}" | tail -n 1)"
}

set +e
for n in $CASES; do
  case $n in
    1) case1 ;;
    2) library_case 2 "dropped sale reply recovered" drop ;;
    3) library_case 3 "3,000,000-byte ExtrairLogs reply" logs ;;
    4) library_case 4 "unplugged mid-reply" unplug ;;
    5) library_case 5 "unit that stopped reading" stalled ;;
    6) library_case 6 "two processes on one device" two ;;
    # Case 5 by a till user, on a port set up as the package's udev rule does, as root.
    7) if chgrp 20 /dev/ttyACM0 && chmod 660 /dev/ttyACM0 && "$APP/zunra-sat-port" /dev/ttyACM0; then
      library_case 7 "unit that stopped reading, till user" stalled-till
    else
      result 7 "unit that stopped reading, till user" 1 "zunra-sat-port /dev/ttyACM0 failed"
    fi ;;
    8) case8 ;;
  esac
done
finish
