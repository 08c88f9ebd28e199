#!/usr/bin/env bash
# The program on a terminal: colours around results and errors, the
# progress display, and the quit dialog after Ctrl+C, Ctrl+\ and a hang-up.
source "$(dirname "$0")/lib.sh" "$1"

PTY="$E2E_DIR/run_in_pty.py"
T="$WORK/transcript"
ESC=$'\x1b'
WHITE="$ESC[97m"
RED="$ESC[91m"
GREEN="$ESC[92m"
MAGENTA="$ESC[95m"
YELLOW="$ESC[93m"
RESET="$ESC[0m"
BS=$'\b\b\b\b\b\b\b'

# on_pty [STEP...] -- ARGS...: runs the program on a terminal; the output
# goes to $T, the exit code to $RC.
on_pty() {
  local steps=()
  while [ "$1" != "--" ]; do steps+=("$1"); shift; done
  shift
  RC=0
  python3 "$PTY" "$T" "${steps[@]}" -- "$PROG" "$@" || RC=$?
}

mkdir -p tree
printf 'one' > tree/a.txt
printf 'two' > tree/b.txt

# The banner in white; the status lines of a build, each closed.
on_pty -- -b list.txt tree
expect_rc 0 "build"
expect_contains "$T" "${WHITE}$TITLE$CR"
expect_contains "$T" "\"a.txt\""
expect_contains "$T" "Sorting results...$CR"

# Results in the colour of their state, the statistics with a white 0.
printf 'changed' > tree/b.txt
printf 'new' > tree/n.txt
cp tree/a.txt tree/c.txt
on_pty -- list.txt tree
expect_rc 1 "verify"
expect_contains "$T" "${MAGENTA}CHANGED	\"b.txt\"$RESET$CR"
expect_contains "$T" "${GREEN}ADDED	\"n.txt\"$RESET$CR"
expect_contains "$T" "${YELLOW}COPIED	\"c.txt\"	from	\"a.txt\"$RESET$CR"
expect_contains "$T" "Matched: ${WHITE}1$RESET    New: ${GREEN}1$RESET    Changed: ${MAGENTA}1$RESET    Deleted: ${WHITE}0$RESET    Copied: ${YELLOW}1$RESET    Renamed: ${WHITE}0$RESET$CR"
on_pty -- list.txt tree -sm
expect_contains "$T" "${WHITE}MATCHED	\"a.txt\"$RESET$CR"

# Error lines in light red.
ln -s nowhere tree/dangling
on_pty -- -b list2.txt tree
expect_rc 103 "build with an unreadable file"
expect_contains "$T" "$RED$CR"
expect_contains "$T" "ERROR EFOpenError for file \"$WORK/tree/dangling\": "
rm tree/dangling

# Usage errors in light red, options of the help screen in white.
on_pty -- -H
expect_rc 254 "usage error"
expect_contains "$T" "${RED}Unknown argument \"-H\".$RESET$CR"
expect_contains "$T" "${WHITE} -tp <msec>$RESET ..... Use <msec>"

# A file that takes long to hash: the percentage overwrites itself.
mkdir big
truncate -s 64G big/big.bin
PERCENT='"big\.bin" +[ 0-9]{2}[0-9]\.[0-9]%\x08{7}'
QUESTION="${WHITE}Do you want to quit ($RESET${RED}Q$RESET$WHITE) now or show results first (anything else)?$RESET"

# Ctrl+C, then "Q": quit at once.
on_pty "wait:$PERCENT" 'send:\x03' 'wait:Do you want to quit.*anything else\)\?' 'send:Q\n' \
  -- -b slow.txt big
expect_rc 253 "Ctrl+C and Q"
expect_contains "$T" "$CR
${RED}Ctrl+C pressed.$RESET$CR
$QUESTION"
expect_lacks "$T" "Sorting results"

# Ctrl+\, then another answer: the engine stops at its next check.
on_pty "wait:$PERCENT" 'send:\x1c' 'wait:anything else\)\?' 'send:later\n' -- -b slow.txt big
expect_rc 253 "Ctrl+Break and another answer"
expect_contains "$T" "${RED}Ctrl+Break pressed.$RESET$CR"
expect_lacks "$T" "Sorting results"

# A hang-up, then "q".
on_pty "wait:$PERCENT" 'kill:HUP' 'wait:anything else\)\?' 'send:q\n' -- -u slow.txt big
expect_rc 253 "hang-up and q"
expect_contains "$T" "${RED}Application close requested.$RESET$CR"

# The end of input is an empty answer.
on_pty "wait:$PERCENT" 'kill:INT' 'wait:anything else\)\?' 'send:\x04' -- -b slow.txt big
expect_rc 253 "Ctrl+C and end of input"

finish
