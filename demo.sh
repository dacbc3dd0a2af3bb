#!/usr/bin/env bash
# The whole system at work on one machine: installs what is missing, builds,
# starts a simulated SAT unit on a pseudo-terminal and runs a technician's
# session with the real sat_cli and the real library against it. Its
# directory under /tmp is removed at the end; ./demo.sh --keep leaves it.
set -euo pipefail
KEEP=0
case "${1:-}" in
  "") ;;
  --keep) KEEP=1 ;;
  *) echo "usage: ./demo.sh [--keep]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")"
ROOT=$(pwd)
CODE=12345678  # the activation code the simulated unit expects

SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo

source ./scripts/apt.sh

need_packages build-essential cmake googletest binutils
echo "Building sat_cli, the library and the simulated unit..."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target sat_cli zunra_sat_rpi sat_sim >/dev/null

WORK=$(mktemp -d /tmp/zunra_demo.XXXXXX)
SIM_PID=""
stop_unit() {
  if [ -n "$SIM_PID" ]; then
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
  fi
}
# Stops the unit and removes the demo's directory, unless --keep was given.
finish() {
  stop_unit
  if [ -n "$WORK" ] && [ "$KEEP" = 0 ]; then
    rm -rf "$WORK"
    echo "Demo directory $WORK removed (./demo.sh --keep leaves it)."
  elif [ -n "$WORK" ]; then
    echo "Demo directory kept: $WORK (sat_cli session in $WORK/session, driver settings in $WORK/settings)."
  fi
  WORK=""
}
trap finish EXIT

# The unit prints its device path as its first line.
"$ROOT/build/sat_sim" --unactivated >"$WORK/sat_sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 50); do
  [ -s "$WORK/sat_sim.out" ] && break
  sleep 0.1
done
DEVICE=$(head -n 1 "$WORK/sat_sim.out")
case "$DEVICE" in /dev/*) ;; *) echo "sat_sim did not start: $DEVICE" >&2; exit 1 ;; esac

export ZUNRA_SAT_DIR="$WORK/settings"
mkdir -p "$ZUNRA_SAT_DIR"
printf '[DEFAULT]\nSERIAL=%s\n' "${DEVICE#/dev/}" >"$ZUNRA_SAT_DIR/sat.ini"

SESSION="$WORK/session"
mkdir -p "$SESSION"
cp build/sat_cli build/libzunra_sat_rpi.so examples/config.ini examples/venda.xml "$SESSION/"
cd "$SESSION"

echo
echo "Simulated SAT unit on $DEVICE; settings: $ZUNRA_SAT_DIR/sat.ini (SERIAL=${DEVICE#/dev/})"
echo "Technician's directory: $SESSION"

CODES=()
FAILED=0
# Runs one sat_cli command as typed at the prompt and keeps its reply code;
# a code ending in 000 is the unit's success.
run() {
  echo
  echo "\$ ./sat_cli $*"
  ./sat_cli "$@" | tee last.out || FAILED=1
  local code
  code=$(sed -n 's/^Retorno: [0-9]*|\([0-9]*\)|.*/\1/p; s/^Cod Retorno: \([0-9]*\)|.*/\1/p' last.out | head -n 1)
  CODES+=("$1 ${code:-?}")
  case "$code" in ??000) ;; *) FAILED=1 ;; esac
}

run ConsultarSAT
run AtivarSAT "$CODE"
run ConsultarStatusOperacional "$CODE"
run EnviarDadosVenda "$CODE" venda.xml
KEY=$(sed -n 's/^Chave CFe: //p' last.out)
run ConsultarUltimaSessaoFiscal "$CODE"

# The cancellation names the receipt just issued.
sed "s/chCanc=\"[^\"]*\"/chCanc=\"$KEY\"/" "$ROOT/examples/cancelamento.xml" >cancelamento.xml
echo
echo "cancelamento.xml made from examples/cancelamento.xml with chCanc=\"$KEY\""
run CancelarUltimaVenda "$CODE" cancelamento.xml
run ExtrairLogs "$CODE"
echo
if [ -f log_sat.txt ]; then
  echo "log_sat.txt: $SESSION/log_sat.txt ($(wc -c <log_sat.txt) bytes), first lines:"
  head -n 3 log_sat.txt
fi

cd "$ROOT"
echo
finish
SUMMARY=$(IFS=,; echo "${CODES[*]}")
if [ "$FAILED" = 0 ]; then
  echo "Demo OK: ${SUMMARY//,/, }; receipt $KEY issued and cancelled; unit stopped."
else
  echo "Demo FAILED: ${SUMMARY//,/, }; unit stopped." >&2
  exit 1
fi
