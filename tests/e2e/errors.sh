#!/usr/bin/env bash
# Failures: unreadable files and the error log (103), a missing hash list or
# a rule that cannot be decided (254), output that cannot be written (255,
# never a hang or a signal), control events with standard output redirected
# (253, or the signal's default action), and, for an ordinary user,
# directories and files that cannot be read (errors that hide no result and
# lose no entry).
source "$(dirname "$0")/lib.sh" "$1"

# wait_for FILE PATTERN: polls until the file holds the extended regular
# expression, at most a minute.
wait_for() {
  local i
  for ((i = 0; i < 600; i++)); do
    grep -qaE -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "gave up waiting for $2 in $1"
  return 1
}

mkdir tree
printf 'one' > tree/a.txt
ln -s nowhere tree/dangling1
ln -s nowhere tree/dangling2
LINE1="ERROR EFOpenError for file \"$WORK/tree/dangling1\": Cannot open file \"$WORK/tree/dangling1\". No such file or directory"
LINE2="ERROR EFOpenError for file \"$WORK/tree/dangling2\": Cannot open file \"$WORK/tree/dangling2\". No such file or directory"

# Unreadable files: the error lines after the banner and nothing else, 103.
run -b list.txt tree -e errors.log
expect_rc 103 "build with unreadable files"
expect_output "$BANNER$CR
$LINE1$CR
$CR
$LINE2$CR
"
expect_file errors.log "$BOM$CR
$LINE1$CR
$CR
$LINE2$CR
"

# Verify with -p-: still only the error lines; the
# log grows.
run list.txt tree -p- -e errors.log
expect_rc 103 "verify with unreadable files"
expect_output "$BANNER$CR
$LINE1$CR
$CR
$LINE2$CR
"
[ "$(grep -c ERROR errors.log)" -eq 4 ] || fail "the error log was not appended to"

# A log that cannot be written changes nothing else.
run list.txt tree -e "$WORK/no/such/dir/errors.log"
expect_rc 103 "unwritable log"
expect_contains "$OUT" "$LINE1"
rm tree/dangling1 tree/dangling2

# A hash list that does not exist: a light-red line on a terminal, plain here.
run missing.txt tree
expect_rc 254 "missing hash list"
expect_output "${BANNER}ERROR EFOpenError: Cannot open file \"$WORK/missing.txt\". No such file or directory$CR
"

# A rule the matcher cannot decide on a path is an error, never "no match":
# the run ends with PCRE2's text and 254, and Update leaves the list as it was.
mkdir undecided
printf 'x' > "undecided/$(printf 'a%.0s' {1..40})"
run -b undecided.txt undecided
expect_rc 0 "build for the undecided rule"
printf 'y' > undecided/new.txt
cp undecided.txt undecided.keep
run -u undecided.txt undecided -xr '^(?:(a|a)*c|a*b)$'
expect_rc 254 "undecided rule"
expect_output "${BANNER}ERROR ERegularExpressionError: match limit exceeded$CR
"
cmp -s undecided.txt undecided.keep || fail "an undecided rule changed the list"

# Output that cannot be written: 255, from the banner on, said once on
# standard error.
RC=0
timeout 60 "$PROG" -h </dev/null >/dev/full 2>err.txt || RC=$?
expect_rc 255 "full device"
expect_file err.txt "ERROR EInOutError: Cannot write to standard output. No space left on device$CR
"
RC=0
timeout 60 "$PROG" -b list.txt tree </dev/null >&- 2>err.txt || RC=$?
expect_rc 255 "closed standard output"
expect_file err.txt "ERROR EInOutError: Cannot write to standard output. Bad file descriptor$CR
"

# A pipe whose reader is gone: a write error, not SIGPIPE, and no hang.
RC=0
python3 - "$PROG" <<'PY' || RC=$?
import os, subprocess, sys
read_end, write_end = os.pipe()
os.close(read_end)
result = subprocess.run([sys.argv[1], "-h"], stdout=write_end, stdin=subprocess.DEVNULL,
                        timeout=60)
sys.exit(result.returncode if result.returncode >= 0 else 128 - result.returncode)
PY
expect_rc 255 "pipe without reader"

# The reader goes away in the middle of the output.
mkdir many
for i in $(seq 1 3000); do printf "$i" > "many/file-with-a-rather-long-name-number-$i.txt"; done
RC=0
set -o pipefail
timeout 120 "$PROG" -b many.txt many -p </dev/null 2>err.txt | head -c 100 >/dev/null || RC=$?
set +o pipefail
expect_rc 255 "closed pipe"
expect_file err.txt "ERROR EInOutError: Cannot write to standard output. Broken pipe$CR
"
[ "$RC" -ne 141 ] || fail "a closed pipe must not end the run by SIGPIPE"
[ "$RC" -ne 124 ] || fail "the run hung on a closed pipe"

# Control events with standard output redirected.
mkdir big
truncate -s 64G big/big.bin
mkfifo answer
exec 3<>answer

# With -p the question is asked; "Q" quits with 253.
# The old output goes first, so that waiting cannot see it and signal the
# process before it has started.
rm -f slow.out
"$PROG" -b slow.txt big -p <answer >slow.out 2>&1 &
pid=$!
wait_for slow.out '"big\.bin" +[0-9]+\.[0-9]%'
kill -INT "$pid"
wait_for slow.out 'anything else\)\?'
echo Q >&3
RC=0
wait "$pid" || RC=$?
expect_rc 253 "quit dialog answered Q"
expect_contains slow.out "Ctrl+C pressed.$CR
Do you want to quit (Q) now or show results first (anything else)?"
# Quitting at once keeps what was there: no list.
[ ! -e slow.txt ] || fail "a build quit at once left a list where there was none"

# Another answer: 253 at the next check; the open line is closed.
rm -f slow.out
: > slow.txt
"$PROG" -u slow.txt big -p <answer >slow.out 2>&1 &
pid=$!
wait_for slow.out '"big\.bin" +[0-9]+\.[0-9]%'
kill -QUIT "$pid"
wait_for slow.out 'anything else\)\?'
echo no >&3
RC=0
wait "$pid" || RC=$?
expect_rc 253 "quit dialog answered no"
expect_contains slow.out "Ctrl+Break pressed.$CR"

# Without the progress display no question comes: the first Ctrl+C is
# taken and kept, the second gets the signal's default action.
rm -f slow.out
"$PROG" -b slow.txt big <answer >slow.out 2>&1 &
pid=$!
wait_for slow.out '^-{79}'
kill -INT "$pid"
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the first Ctrl+C ended the run"
kill -INT "$pid"
RC=0
wait "$pid" || RC=$?
expect_rc 130 "second Ctrl+C"
expect_lacks slow.out "pressed"
exec 3>&-

# What an ordinary user cannot read: root reads everything, so these runs
# take the user nobody.
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
if ! as_nobody test -x "$PROG" 2>/dev/null; then
  echo "skipped: the tests of unreadable directories need to run the program as nobody"
else
  chmod 755 "$WORK"
  mkdir -p priv/tree/open priv/tree/locked/deep
  printf 'a' > priv/tree/open/a.txt
  printf 'l' > priv/tree/locked/l.txt
  printf 'd' > priv/tree/locked/deep/d.txt
  printf 'z' > priv/tree/zz.txt
  chmod -R a+rwX priv
  as_nobody "$PROG" -b priv/list.txt priv/tree </dev/null >"$OUT" 2>&1 || fail "build as nobody"
  cp priv/list.txt priv/old.txt
  printf 'A' > priv/tree/open/a.txt
  printf 'l' > priv/tree/copy-of-l.txt
  chmod 000 priv/tree/locked priv/tree/zz.txt
  LOCKED="ERROR EInOutError for file \"$WORK/priv/tree/locked\": Permission denied"
  # Verify and Update: the error lines, then every result but of what could
  # not be read, and 103 for the file that failed last.
  for command in -v -u; do
    RC=0
    as_nobody timeout 60 "$PROG" "$command" -t- priv/list.txt priv/tree -o priv/results.txt \
      </dev/null >"$OUT" 2>&1 || RC=$?
    expect_rc 103 "$command as nobody"
    expect_contains "$OUT" "$LOCKED"
    expect_contains "$OUT" "ERROR EFOpenError for file \"$WORK/priv/tree/zz.txt\""
    [ "$(sed "1s/^$BOM//" priv/results.txt | tr -d '\r' | awk -F'\t' '{ split($2, f, " "); print $1, f[1], $4 }')" = \
      'COPIED "copy-of-l.txt" "locked\l.txt"
CHANGED "open\a.txt" ' ] ||
      fail "$command as nobody: results $(cat -A priv/results.txt)"
  done
  # Update kept the entries it could not check, as they were.
  for path in 'locked\deep\d.txt' 'locked\l.txt' 'zz.txt'; do
    grep -qF "$(grep -F "\"$path\"" priv/old.txt | sed "s/^$BOM//")" priv/list.txt ||
      fail "update lost $path: $(cat -A priv/list.txt)"
  done
  # A base directory that cannot be listed: nothing is written.
  chmod 000 priv/tree
  cp priv/list.txt priv/before.txt
  for command in -u -b; do
    RC=0
    as_nobody "$PROG" "$command" priv/list.txt priv/tree </dev/null >"$OUT" 2>&1 || RC=$?
    expect_rc 254 "$command of a base directory nobody may list"
    expect_contains "$OUT" "ERROR EFOpenError: Cannot open directory \"$WORK/priv/tree/\". Permission denied"
    cmp -s priv/list.txt priv/before.txt || fail "$command of an unlistable base directory changed the list"
  done
  chmod 755 priv/tree priv/tree/locked
fi

finish
