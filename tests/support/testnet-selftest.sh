#!/usr/bin/env bash
# Self-test of tools/testnet: the pc's interfaces, the networked suite of the
# self-test executable, and that nothing of a run is left after it ends.
# Usage: testnet-selftest.sh TESTNET BOARD SELFTEST_EXE
set -uo pipefail
testnet=$1 board=$2 selftest=$3
record=$(mktemp "${TMPDIR:-/tmp}/qztestnet-selftest.XXXXXX")
trap 'rm -f "$record"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
lans=(--lan 10.77.1.1/24 --lan 172.20.2.1/24)

# Runs COMMAND (sh -c text) under tools/testnet, recording the run's prefix and state directory.
run_recorded() {
  : >"$record"
  "$testnet" --board-bin "$board" "${lans[@]}" --board "1 10.77.1.10" -- \
    sh -c "echo \"\$QZ_TESTNET \$QZ_TESTNET_DIR\" >$record; $1" "$2"
}

check_gone() {
  local prefix dir
  read -r prefix dir <"$record" || { fail "$1: the run was not recorded"; return; }
  if ip netns list | grep -q "^$prefix-"; then fail "$1: namespaces of $prefix left"; fi
  if [ -e "$dir" ]; then fail "$1: state directory $dir left"; fi
}

# Terminals number the interfaces in this order.
got=$("$testnet" "${lans[@]}" -- ip -4 -o addr show | awk '{print $2, $4}')
[ "$got" = $'lo 127.0.0.1/8\nlan1 10.77.1.1/24\nlan2 172.20.2.1/24' ] || fail "pc interfaces: $got"

run_recorded 'exec "$0" --run_test=testnet --report_level=short' "$selftest" || fail "networked suite"
check_gone "after success"

# A board started by the command and left running goes with the run too.
run_recorded '"$0" board-start 2 172.20.2.30 >/dev/null || exit 1; exit 7' "$testnet"
rc=$?
[ "$rc" -eq 7 ] || fail "the command's exit status 7 came back as $rc"
check_gone "after a failing command"

[ "$failures" -eq 0 ] || exit 1
echo "all checks passed"
