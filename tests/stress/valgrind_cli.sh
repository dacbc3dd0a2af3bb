#!/usr/bin/env bash
# tests/stress/valgrind_cli.sh BUILD_DIR: valgrind's memcheck over sat_cli runs
# against sat_sim as a technician runs them (the real binary beside the library,
# config.ini and sat.ini in a scratch directory). Exits non-zero on any memcheck
# error or leak (still-reachable runtime pools do not count).
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/zunra_valgrind_XXXXXX)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

"$build/sat_sim" --log-bytes 200000 > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
ln -s "$build/libzunra_sat_rpi.so" "$work/libzunra_sat_rpi.so"
printf '[DEFAULT]\nSERIAL=%s\nNO_POPUP=true\n' "$(head -n1 "$work/sim.out")" > "$work/sat.ini"
cp "$src/examples/config.ini" "$src/examples/venda.xml" "$work/" 2>/dev/null || true

memcheck() {  # memcheck "ARGS": one sat_cli run; its exit status is not judged
  local status=0
  # valgrind reports to its own file: sat_cli's standard error has lines of its own.
  (cd "$work" && ZUNRA_SAT_DIR="$work" valgrind -q --log-file="$work/vg.err" --leak-check=full \
      --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
      "$build/sat_cli" $1 > "$work/out.txt" 2> "$work/cli.err") || status=$?
  if [ "$status" = 99 ] || [ -s "$work/vg.err" ]; then
    echo "memcheck: sat_cli $1 (status $status)"; cat "$work/vg.err"; return 1
  fi
  echo "memcheck clean: sat_cli $1 -> $(grep -m1 -o 'Retorno: [0-9|]*' "$work/out.txt" || echo "exit $status")"
}

for run in "" ConsultarSAT "ConsultarSAT extra" "ConsultarStatusOperacional 12345678" \
  "ExtrairLogs 12345678" "AtivarSAT 12345678" "TesteFimAFim 12345678" "EnviarDadosVenda 12345678 venda.xml"; do
  memcheck "$run"
done
key=$(grep -m1 -o 'CFe[0-9]\{44\}' "$work/out.txt" || true)  # the receipt just issued
printf '<CFeCanc><infCFe chCanc="%s"></infCFe></CFeCanc>\n' "$key" > "$work/cancelamento.xml"
for run in "ConsultarUltimaSessaoFiscal 12345678" "CancelarUltimaVenda 12345678 cancelamento.xml" \
  "TrocarCodigoDeAtivacao 12345678 1 87654321" "SetDriver DEBUG false"; do
  memcheck "$run"
done
