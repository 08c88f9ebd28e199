#!/usr/bin/env bash
# Output files, error logs and hash lists that are not plain files: a
# symbolic link leads to the file and stays, a FIFO or a device is written in
# place and opened once per run, standard output itself is written through,
# a socket is refused, and a list from a pipe is read whole but cannot be
# updated. Runs that could wait for a reader are under `timeout`.
source "$(dirname "$0")/lib.sh" "$1"

mkdir t e
printf x > t/a.txt
printf y > t/b.txt
run -b good.txt t
printf z > t/c.txt
# File errors for the logs: names a list cannot hold.
: > 'e/q"1'
: > 'e/q"2'
run good.txt t -o ref.out
expect_rc 1 "verify with a plain output file"
REF=$(cat ref.out; echo x)
REF=${REF%x}

# -o through a link: the file it leads to is written, and deleted first when
# there are no results; the link stays.
mkdir real
echo old > real/out.txt
ln -s real/out.txt link.out
run good.txt t -o link.out
cmp -s real/out.txt ref.out || fail "-o through a link: $(cat -A real/out.txt)"
run good.txt t -o link.out -sa-
expect_rc 0 "-o through a link, nothing to show"
[ -L link.out ] && [ ! -e real/out.txt ] || fail "-o through a link: $(ls -l link.out real)"

# -o to a FIFO, to standard output on a pipe and to standard output on a
# file. Links of our own stand for /dev/stdout and /dev/stderr, so that a
# program that deletes them harms nothing.
mkfifo fifo
timeout 60 cat fifo > fifo.out &
run good.txt t -o fifo
wait $!
[ -p fifo ] && cmp -s fifo.out ref.out || fail "-o to a FIFO: $(cat -A fifo.out)"
ln -s /proc/self/fd/1 stdout
ln -s /proc/self/fd/2 stderr
timeout 60 "$PROG" good.txt t -o stdout </dev/null | cat > "$OUT"
expect_output "$BANNER$REF"
run good.txt t -o stdout
expect_output "$BANNER$REF"
[ -L stdout ] || fail "-o to standard output deleted the link"
# A list built onto standard output follows what the program wrote there.
run -b built.txt t
run -b stdout t
expect_output "$BANNER$(cat built.txt)"$'\n'
[ -L stdout ] || fail "-b to standard output deleted the link"
# A list named through links that lead nowhere yet is created where they
# lead, a relative target taken from its link's directory; a loop or a
# missing directory is refused. The links stay.
mkdir -p links/sub && ln -s sub/list.txt links/list.txt && ln -s links/list.txt chain.txt
run -b chain.txt t
[ -L chain.txt ] && [ -L links/list.txt ] && cmp -s links/sub/list.txt built.txt ||
  fail "-b through links that lead nowhere: $(ls -lR links)"
ln -s loop1 loop2 && ln -s loop2 loop1 && ln -s nowhere/list.txt lost.txt
for link in loop1 lost.txt; do
  run -b "$link" t
  expect_rc 254 "-b through $link"
  [ -L "$link" ] || fail "-b through $link replaced the link"
done
expect_output "$BANNER""ERROR EFCreateError: Cannot create file \"$WORK/lost.txt\". No such file or directory$CR
"

# -o or -e naming a socket: a usage error.
python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('sock')"
for option in -o -e; do
  run good.txt t "$option" sock
  expect_rc 254 "$option to a socket"
  expect_contains "$OUT" "must not be a socket."
  expect_contains "$OUT" "Syntax: "
done

# -e to a FIFO and to standard error on a pipe: every line reaches the
# reader, which sees the end only when the run is over.
LOG="$BOM$CR
ERROR EInOutError for file \"$WORK/e/q\"1\": File name cannot be stored in a hash list: it contains a double quote.$CR
$CR
ERROR EInOutError for file \"$WORK/e/q\"2\": File name cannot be stored in a hash list: it contains a double quote.$CR
"
timeout 60 cat fifo > log.out &
run -b e.txt e -e fifo
wait $!
expect_file log.out "$LOG"
timeout 60 "$PROG" -b e.txt e -e stderr </dev/null 2>&1 >/dev/null | cat > log.out
expect_file log.out "$LOG"

# Four runs sharing one log lose no line.
mkdir many
for i in $(seq 1 100); do : > "many/q\"$i"; done
for i in 1 2 3 4; do timeout 120 "$PROG" -b "many$i.txt" many -e shared.log </dev/null >/dev/null & done
wait
[ "$(grep -c '^ERROR' shared.log)" -eq 400 ] || fail "shared log: $(grep -c '^ERROR' shared.log) lines"

# A FIFO for -o or -e is opened at the start of the command and closed at the
# end of the run, however it ends (no list, no directory, standard output
# full half way), so its reader always sees the end; with nothing to write it
# gets no byte, not even a byte-order mark.
while read -r expected args; do
  timeout 60 cat fifo > fifo.out &
  RC=0
  (ulimit -f 1; trap '' XFSZ; exec timeout 60 "$PROG" $args </dev/null >"$OUT" 2>"$WORK/.stderr") || RC=$?
  wait $! || fail "$args: the reader of the FIFO saw no end"
  expect_rc "$expected" "$args"
  [ ! -s fifo.out ] || fail "$args: the FIFO got $(cat -A fifo.out)"
done <<'RUNS'
0 good.txt t -sa- -o fifo
1 good.txt t -e fifo
254 missing.txt t -o fifo
254 -b none.txt missing -e fifo
255 -b none.txt many -o fifo
RUNS

# Lists from a pipe, from standard input fed by one, and from a FIFO in
# UTF-16 with its mark are read whole.
run <(cat good.txt) t -o pipe.out
cmp -s pipe.out ref.out || fail "list from a pipe: $(cat -A pipe.out)"
cat good.txt | timeout 60 "$PROG" /dev/stdin t -o stdin.out >/dev/null
cmp -s stdin.out ref.out || fail "list from standard input: $(cat -A stdin.out)"
python3 -c "import sys; sys.stdout.buffer.write(open('good.txt', encoding='utf-8-sig').read().encode('utf-16'))" > u16.txt
timeout 60 cp u16.txt fifo &
run fifo t -o fifo.out
cmp -s fifo.out ref.out || fail "UTF-16 list from a FIFO: $(cat -A fifo.out)"

# Update of a list from an unnamed pipe (standard input or not) or from a
# socket cannot write it back: refused before anything is read.
refused() {  # refused LIST SOURCE
  expect_rc 254 "update of $1"
  expect_output "$BANNER""ERROR EFCreateError: Cannot create file \"$1\". A list read from $2 cannot be rewritten.$CR
"
}
RC=0
cat good.txt | timeout 60 "$PROG" -u /dev/stdin t >"$OUT" 2>/dev/null || RC=$?
refused /dev/stdin "a pipe"
run -u <(cat good.txt) t
refused "$(sed -n 's/.*file "\(.*\)".*/\1/p' "$OUT")" "a pipe"
run -u sock t
refused "$WORK/sock" "a socket"

# Update of a list that is a FIFO: read from it, then written to it.
run -b new.txt t
timeout 60 "$PROG" -u fifo t </dev/null >/dev/null &
cp good.txt fifo
timeout 60 cat fifo > updated.txt
RC=0
wait $! || RC=$?
expect_rc 1 "update of a FIFO"
cmp -s updated.txt new.txt || fail "update of a FIFO: $(cat -A updated.txt)"

finish
