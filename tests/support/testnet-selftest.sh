#!/usr/bin/env bash
# Self-test of tools/testnet: runs the networked suite of the self-test
# executable in a two-LAN test network with the stand-in board, then checks
# what only the outside can see: that every namespace, board process and
# state directory of a run is gone afterwards, on success, failure and signal,
# and the command-line contract (exit status, stdin, defaults, errors).
# Usage: testnet-selftest.sh TESTNET FAKE_BOARD SELFTEST_EXE
# "cond && pass || fail" is safe here: pass only echoes.
# shellcheck disable=SC2015
set -uo pipefail

testnet=$1 fake=$2 selftest=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/qztestnet-selftest.XXXXXX")
trap 'rm -rf "$work"' EXIT
export QZ_FAKE_BOARD_PIDS=$work/pids
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

proc_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# Checks that nothing of the run with prefix $1 and state dir $2 is left.
check_gone() {
  local what=$1 prefix=$2 state=$3 left pid
  if [ -z "$prefix" ]; then fail "$what: the run's prefix was not recorded"; return; fi
  left=$(ip netns list | awk '{print $1}' | grep -- "^$prefix-")
  [ -z "$left" ] || fail "$what: namespaces left: $left"
  if [ -n "$state" ] && [ -e "$state" ]; then fail "$what: state directory $state left"; fi
  if [ -f "$QZ_FAKE_BOARD_PIDS" ]; then
    while read -r pid; do
      proc_alive "$pid" && fail "$what: board process $pid left"
    done <"$QZ_FAKE_BOARD_PIDS"
    rm -f "$QZ_FAKE_BOARD_PIDS"
  fi
  [ -z "$left" ] && pass "$what: nothing left of $prefix"
}

# Runs tools/testnet with the stand-in board; the command records the run.
record=$work/record
record_cmd="echo \"\$QZ_TESTNET \$QZ_TESTNET_DIR\" >$record; "
run_testnet() { "$testnet" --board-bin "$fake" "$@"; }
recorded() { [ -f "$record" ] && cut -d' ' -f"$1" "$record"; }

# 1. The networked suite, in the network the self-test expects.
rm -f "$record"
run_testnet --lan 10.77.1.1/24 --lan 172.20.2.1/24 --board "1 10.77.1.10" -- \
  sh -c "$record_cmd exec \"\$0\" --run_test=testnet --report_level=short" "$selftest"
rc=$?
[ "$rc" -eq 0 ] && pass "networked suite" || fail "networked suite exited with $rc"
[ -n "$(recorded 1)" ] && [ "$(grep -c . "$QZ_FAKE_BOARD_PIDS" 2>/dev/null)" -ge 3 ] \
  || fail "networked suite: boards were not recorded"
check_gone "after the networked suite" "$(recorded 1)" "$(recorded 2)"

# 2. COMMAND's exit status is the run's.
rm -f "$record"
run_testnet --board "1 10.77.1.10 --fake-spawn-child" -- sh -c "$record_cmd exit 7"
rc=$?
[ "$rc" -eq 7 ] && pass "exit status passed on" || fail "exit status 7 came back as $rc"
check_gone "after a failing command" "$(recorded 1)" "$(recorded 2)"

# 3. Default LAN, and stdin is /dev/null when it is not a terminal.
# shellcheck disable=SC2016 # expanded by the inner shell
out=$(echo "not for the command" | run_testnet -- sh -c \
  'ip -4 -o addr show | awk "{print \$2, \$4}"; readlink /proc/self/fd/0; cat')
expected=$'lo 127.0.0.1/8\nlan1 10.77.1.1/24\n/dev/null'
[ "$out" = "$expected" ] && pass "default LAN and stdin" \
  || fail "default LAN/stdin: got '$out', expected '$expected'"

# 4. A board that does not start fails the run before COMMAND, cleanly.
rm -f "$record"
"$testnet" --board-bin "$fake" --board "1 10.77.1.10 --fake-exit 5" -- sh -c "$record_cmd" \
  >"$work/out" 2>&1 &
run_pid=$!
wait "$run_pid"
rc=$?
err=$(cat "$work/out")
if [ "$rc" -ne 0 ] && [ ! -f "$record" ] && [[ $err == *"exited during start (status 5)"* ]]; then
  pass "failed board start stops the run"
else
  fail "failed board start: rc $rc, command ran: $([ -f "$record" ] && echo yes || echo no), output: $err"
fi
# The prefix is qz<pid of tools/testnet>-<random>.
check_gone "after a failed board start" "qz$run_pid" ""

# 5. Usage errors.
for args in "--lan 10.77.1.1 -- true" "--lan 10.77.1.300/24 -- true" "--board 2 -- true" \
            "--bogus -- true" "--" "--lan"; do
  # shellcheck disable=SC2086
  err=$("$testnet" $args 2>&1)
  rc=$?
  [ "$rc" -eq 2 ] && pass "usage error for '$args'" || fail "'$args' gave $rc: $err"
done
err=$(run_testnet --lan 10.77.1.1/24 --board "2 10.77.2.10" -- true 2>&1)
rc=$?
[ "$rc" -ne 0 ] && [[ $err == *"no LAN 2"* ]] && pass "board on a missing LAN" \
  || fail "board on a missing LAN: rc $rc, $err"
err=$("$testnet" --board-bin /nonexistent/qz-board --board "1 10.77.1.10" -- true 2>&1)
rc=$?
[ "$rc" -ne 0 ] && [[ $err == *"/nonexistent/qz-board"* ]] && pass "missing board binary" \
  || fail "missing board binary: rc $rc, $err"

# 6. check and the board subcommands refuse outside a run.
for sub in check "board-start 1 10.77.1.10" "board-stop b1" "board-log b1"; do
  # shellcheck disable=SC2086
  err=$(env -u QZ_TESTNET -u QZ_TESTNET_PC "$testnet" $sub 2>&1)
  rc=$?
  [ "$rc" -eq 1 ] && [[ $err == *"not inside a test network"* ]] && pass "'$sub' outside refused" \
    || fail "'$sub' outside: rc $rc, $err"
done

# 7. TERM to a run ends COMMAND and cleans up.
rm -f "$record"
"$testnet" --board-bin "$fake" --board "1 10.77.1.10" -- \
  sh -c "$record_cmd echo \$\$ >$work/cmdpid; exec sleep 600" >/dev/null 2>&1 &
run_pid=$!
for _ in $(seq 200); do [ -s "$work/cmdpid" ] && break; sleep 0.05; done
kill -TERM "$run_pid"
for _ in $(seq 600); do proc_alive "$run_pid" || break; sleep 0.05; done
if proc_alive "$run_pid"; then
  fail "the run ignored TERM for 30 s"
  kill -KILL "$run_pid"
fi
wait "$run_pid"
rc=$?
[ "$rc" -eq 143 ] && pass "TERM ends the run" || fail "TERM: run exited with $rc"
if [ -s "$work/cmdpid" ] && ! proc_alive "$(cat "$work/cmdpid")"; then
  pass "TERM ends COMMAND"
else
  fail "COMMAND survived TERM of the run"
fi
check_gone "after TERM" "$(recorded 1)" "$(recorded 2)"

# 8. QZ_TESTNET_KEEP keeps the logs.
rm -f "$record"
QZ_TESTNET_KEEP=1 run_testnet --board "1 10.77.1.10" -- sh -c "$record_cmd" 2>/dev/null
state=$(recorded 2)
if [ -n "$state" ] && [ -f "$state/b1.log" ]; then
  pass "QZ_TESTNET_KEEP keeps the state"
  rm -rf "$state"
else
  fail "QZ_TESTNET_KEEP: no log in '$state'"
fi
check_gone "after a kept run" "$(recorded 1)" ""

# 9. A stand-in that cannot listen is accepted on its log with QZ_TESTNET_READY=log.
rm -f "$record"
QZ_TESTNET_READY=log run_testnet --board "1 10.77.1.10 --fake-no-listen" -- sh -c "$record_cmd"
rc=$?
[ "$rc" -eq 0 ] && pass "QZ_TESTNET_READY=log" || fail "QZ_TESTNET_READY=log: run exited with $rc"
check_gone "after QZ_TESTNET_READY=log" "$(recorded 1)" "$(recorded 2)"

# 10. A board still starting when COMMAND ends is removed with the run.
rm -f "$record"
run_testnet -- sh -c "$record_cmd QZ_TESTNET_START_TIMEOUT=60 \"\$0\" board-start 1 10.77.1.20 \
  --fake-no-listen >/dev/null 2>&1 & while [ ! -s \"\$QZ_FAKE_BOARD_PIDS\" ]; do sleep 0.05; done" \
  "$testnet"
rc=$?
[ "$rc" -eq 0 ] && pass "run ended during a board start" || fail "run during a board start exited with $rc"
check_gone "after a run that ended during a board start" "$(recorded 1)" "$(recorded 2)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
