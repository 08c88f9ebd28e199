# Shared by the end-to-end tests: the program under test, a scratch
# directory, running the program and checking what it did.
# Usage: source lib.sh PROGRAM
set -u

PROG=$(realpath "$1")
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/hv-e2e.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# HV_E2E_EMULATOR: run the program under test through it (a kernel that
# refuses i386 programs). A wrapper of the program's own name, which execs
# the emulator, keeps `$!` the program's process and the name it shows; it
# lies outside $WORK, where other users can run it too.
if [ -n "${HV_E2E_EMULATOR:-}" ]; then
  WRAPPER_DIR=$(mktemp -d "${TMPDIR:-/tmp}/hv-e2e-emulated.XXXXXX")
  trap 'rm -rf "$WORK" "$WRAPPER_DIR"' EXIT
  chmod 755 "$WRAPPER_DIR"
  printf '#!/bin/bash\nexec %q %q "$@"\n' "$HV_E2E_EMULATOR" "$PROG" >"$WRAPPER_DIR/$(basename "$PROG")"
  chmod 755 "$WRAPPER_DIR/$(basename "$PROG")"
  PROG=$WRAPPER_DIR/$(basename "$PROG")
fi
cd "$WORK" || exit 1

FAILURES=0
CR=$'\r'
BOM=$'\xef\xbb\xbf'

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

# run ARGS...: runs the program with standard input from /dev/null;
# standard output goes to $OUT, the exit code to $RC.
OUT="$WORK/.stdout"
RC=0
run() {
  RC=0
  timeout 120 "$PROG" "$@" </dev/null >"$OUT" 2>"$WORK/.stderr" || RC=$?
}

expect_rc() {
  [ "$RC" -eq "$1" ] || fail "${2:-exit code}: expected $1, got $RC"
}

# expect_file FILE EXPECTED: the file holds exactly EXPECTED.
expect_file() {
  local actual
  actual=$(cat "$1"; echo x)
  actual=${actual%x}
  [ "$actual" = "$2" ] || fail "$1 differs.
--- expected:
$(printf '%s' "$2" | cat -A)
--- actual:
$(printf '%s' "$actual" | cat -A)"
}

expect_output() { expect_file "$OUT" "$1"; }

# expect_contains FILE TEXT: TEXT occurs in the file.
expect_contains() {
  grep -qF -- "$2" "$1" || fail "$1 lacks: $2
--- it holds:
$(cat -A "$1")"
}

expect_lacks() {
  if grep -qF -- "$2" "$1"; then fail "$1 should not hold: $2"; fi
}

expect_missing() {
  [ ! -e "$1" ] || fail "$1 should not exist"
}

# The first two lines of every run; the name is the build's (HV_E2E_I386=1
# for the i386 program).
I386=${HV_E2E_I386:-0}
if [ "$I386" = 1 ]; then
  TITLE="Redure v0.24 (Unicode)                    "
else
  TITLE="Zavere-z64 v0.24 (Unicode)                "
fi
BANNER="$TITLE$CR
-------------------------------------------------------------------------------$CR
"

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}
