#!/usr/bin/env bash
# Update and Build over an existing list, killed or interrupted at moments
# spread over their run: the hash list is always byte for byte the old one
# or the new one, and at most one temporary file is left beside it.
# SIGKILL, then SIGINT, SIGHUP and SIGQUIT answered at the quit question
# (253, the old list).
source "$(dirname "$0")/lib.sh" "$1"

# wait_for FILE PATTERN PID: polls until the file holds the extended regular
# expression or the process has ended; false in the second case.
wait_for() {
  local i
  for ((i = 0; i < 600; i++)); do
    grep -qaE -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  fail "gave up waiting for $2 in $1"
  return 1
}

# The list holds exactly the old or the new one; nothing else lies beside it
# but at most one hidden temporary, which a kill between its naming and its
# rename leaves.
check_list() {
  if ! cmp -s list.txt old.txt && ! cmp -s list.txt new.txt; then
    fail "$1: the list is neither the old nor the new one ($(wc -c <list.txt) bytes)"
    cp list.txt "broken-$RANDOM.txt"
  fi
  local temporary='\.list\.txt\.tmp[0-9a-f]{12}' stray
  [ "$(ls -A | grep -cxE "$temporary")" -le 1 ] || fail "$1: more than one temporary left"
  stray=$(ls -A | grep -vxE "list\.txt|old\.txt|new\.txt|tree|answer|run\.out|\.stdout|\.stderr|$temporary")
  [ -z "$stray" ] || fail "$1: left behind: $stray"
  rm -f -- .list.txt.tmp*
}

# A few thousand small files, and one big sparse file that takes a while.
mkdir tree
python3 - <<'PY'
import os
for i in range(3000):
    d = f"tree/d{i % 10}"
    os.makedirs(d, exist_ok=True)
    with open(f"{d}/f{i}.txt", "w") as f:
        f.write(str(i))
PY
# ms_since START: milliseconds from START (date +%s%N) until now.
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }
# Sized so that an Update takes about two seconds in this build (slower ones,
# such as a sanitizer build, get a smaller file): at most 1 GiB.
truncate -s 64M tree/big.bin
run -b old.txt tree
cp old.txt calibrate.txt
start=$(date +%s%N)
run -u -t- calibrate.txt tree
rm calibrate.txt
size_mb=$((64 * 2000 / ($(ms_since "$start") + 1)))
[ "$size_mb" -le 1024 ] || size_mb=1024
[ "$size_mb" -ge 64 ] || size_mb=64
truncate -s "${size_mb}M" tree/big.bin
run -b old.txt tree
expect_rc 0 "build of the old list"
# Changed, removed and added files make the new list differ from the old.
for i in 1 2 3; do printf 'changed' > "tree/d$i/f$i.txt"; done
rm tree/d4/f4.txt
printf 'new' > tree/d5/added.txt

cp old.txt list.txt
start=$(date +%s%N)
run -u -t- list.txt tree
duration_ms=$(ms_since "$start")
expect_rc 1 "reference update"
cp list.txt new.txt
cmp -s old.txt new.txt && fail "the update changed nothing"
# A build of the same tree writes the same list.
cp old.txt list.txt
run -b list.txt tree
expect_rc 0 "reference build"
cmp -s list.txt new.txt || fail "build and update disagree"

# SIGKILL at 24 moments from the start to a little past the usual end, of
# Update and Build in turn.
runs=24
for ((k = 0; k < runs; k++)); do
  cp old.txt list.txt
  command=-u
  [ $((k % 2)) -eq 0 ] || command=-b
  "$PROG" "$command" -t- list.txt tree </dev/null >run.out 2>&1 &
  pid=$!
  delay_ms=$((k * (duration_ms + duration_ms / 5) / runs))
  sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
  kill -KILL "$pid" 2>/dev/null
  RC=0
  # The shell's "Killed" notice is no failure.
  { wait "$pid"; } 2>/dev/null || RC=$?
  [ "$RC" -eq 137 ] || [ "$RC" -le 1 ] || fail "$command: SIGKILL after ${delay_ms} ms: exit code $RC"
  check_list "$command: SIGKILL after ${delay_ms} ms"
done

# The quit question, asked on the progress display.
mkfifo answer
exec 3<>answer
ask() {  # ask SIGNAL ANSWER DELAY_SECONDS [COMMAND]
  cp old.txt list.txt
  "$PROG" "${4:--u}" -t- -p list.txt tree <answer >run.out 2>&1 &
  pid=$!
  wait_for run.out '"big\.bin" +[0-9]+\.[0-9]%' "$pid"
  sleep "$3"
  kill "-$1" "$pid" 2>/dev/null
  RC=0
  if wait_for run.out 'anything else\)\?' "$pid"; then
    echo "$2" >&3
    wait "$pid" || RC=$?
    # A signal that comes after the list was written finds the new one.
    expect_rc 253 "SIG$1 answered $2"
  else
    wait "$pid" 2>/dev/null || RC=$?
    # Too late for the question: either taken after the last check (the run
    # ends normally), or after the program let go of its console, when the
    # signal has its default action.
    [ "$RC" -le 1 ] || [ "$RC" -eq $((128 + $(kill -l "$1"))) ] ||
      fail "SIG$1 after the end: exit code $RC"
  fi
  check_list "SIG$1 answered $2"
}
for signal in INT HUP QUIT; do
  ask "$signal" Q 0
  ask "$signal" Q 0.2
  ask "$signal" no 0.1
  # A build stopped at once keeps the old list.
  ask "$signal" Q 0.1 -b
done
exec 3>&-

finish
