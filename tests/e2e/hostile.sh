#!/usr/bin/env bash
# Hostile input: hash lists that are not what they should be, trees that
# push the file system's limits, and things that are not files. Each gives its
# documented result and exit code, and never a hang (every run is under
# `timeout`, whose 124 fails the check).
source "$(dirname "$0")/lib.sh" "$1"

# The entries that the lists below are built from.
mkdir t
printf 'x' > t/a.txt
printf 'y' > t/b.txt
run -b good.txt t
expect_rc 0 "build of the reference list"
A=$(sed -n 1p good.txt | sed "s/^$BOM//; s/$CR\$//")
B=$(sed -n 2p good.txt | sed "s/$CR\$//")

# list NAME: writes the list from python bytes (A and B are the two lines).
list() {
  python3 - "$1" "$A" "$B" <<PY
import sys
name, a, b = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
bom, crlf = b'\xef\xbb\xbf', b'\r\n'
u16 = lambda s: s.encode('utf-16-le', 'surrogatepass')
data = {
  'nul-line': bom + a + crlf + b'\0\0\0' + crlf + b + crlf,
  'nul-path': bom + a.replace(b'a.txt', b'a\0.txt') + crlf + b + crlf,
  'long-line': bom + a + crlf + b'z' * 10_000_000 + crlf + b + crlf,
  'comments': bom + b';comment\r\n' * 100_000 + a + crlf + b + crlf,
  'cr-only': bom + a + b'\r' + b + b'\r',
  'truncated': bom + a + crlf + b + crlf + b'\xe2\x82',
  'surrogate': b'\xff\xfe' + u16(sys.argv[2].replace('a.txt', 'a\ud800.txt') + '\r\n' + sys.argv[3] + '\r\n'),
}[name]
open(name + '.txt', 'wb').write(data)
PY
}

# Lines that are blank once control characters are trimmed are skipped; so
# are comments, and CR alone ends a line: the tree matches.
for name in nul-line comments cr-only; do
  list "$name"
  run "$name.txt" t -sm- -o "$name.out"
  expect_rc 0 "$name"
  expect_missing "$name.out"
done

# A NUL inside a path, or a lone surrogate (read as U+FFFD): an entry no file
# can have, so the file under the real name is the renamed one.
for name in nul-path surrogate; do
  list "$name"
  run "$name.txt" t -o "$name.out"
  expect_rc 1 "$name"
  expect_contains "$name.out" "RENAMED	\"a.txt\""
done

# A line that is no entry stops the run before anything is scanned: 254, and
# the line number.
list long-line
run long-line.txt t
expect_rc 254 "line of 10 MB"
expect_contains "$OUT" "ERROR EHashItemError: Line 2 - Invalid AsString input."
list truncated
run truncated.txt t
expect_rc 254 "truncated UTF-8 at the end"
expect_contains "$OUT" "ERROR EHashItemError: Line 3 - Invalid AsString input."

# A directory for a list is an open error; /dev/zero is read until its
# first line is longer than any entry.
run t t
expect_rc 254 "directory as the list"
expect_contains "$OUT" "ERROR EFOpenError: Cannot open file \"$WORK/t\". Is a directory"
run /dev/zero t -o zero.out
expect_rc 254 "/dev/zero as the list"
expect_contains "$OUT" "ERROR EHashItemError: Line 1 - Invalid AsString input."

# A file name longer than the system takes: a file error with the system's
# text, and the run goes on. The directory itself stays below PATH_MAX.
python3 - <<'PY'
import os
os.mkdir('long')
fd = os.open('long', os.O_RDONLY)
for i in range(16):
    os.mkdir('d' * 250, dir_fd=fd)
    fd = os.open('d' * 250, os.O_RDONLY, dir_fd=fd)
for name in ('f' * 200, 'ok.txt'):
    os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
PY
run -b long.txt long
expect_rc 103 "name too long"
expect_contains "$OUT" "\". File name too long"
expect_contains long.txt "\\ok.txt\""

# Many entries in one directory, one directory 200 levels deep, every
# printable ASCII character in a name, control characters (C0, DEL, C1) and
# invalid UTF-8 in names.
python3 - <<'PY'
import os, string
os.makedirs('big/many')
for i in range(10_000):
    open(f'big/many/{i}', 'w').close()
deep = 'big/deep' + '/d' * 200
os.makedirs(deep)
open(deep + '/bottom.txt', 'w').write('b')
os.mkdir('big/names')
for c in string.printable:
    if c not in '/\t\n\r\x0b\x0c':
        open(f'big/names/n{c}n', 'w').write(c)
for name in ('e\x1b[2K\x1b[1Ae', 't\tb\ad\x7f', 'c\u009b1m', 'cr\rz'):
    open('big/names/' + name, 'w').write(name)
open(b'big/names/bad\xff\xfe', 'w').write('bad')
open(b'big/names/cut\xe2\x82', 'w').write('cut')
PY
run -b big.txt big -e big.log
expect_rc 103 "many, deep and odd names"
# 10,000 + 1 + the 94 printable characters less backslash and double quote
# + the 3 names with control characters that a list can hold.
[ "$(grep -c '' big.txt)" -eq 10096 ] || fail "big.txt holds $(grep -c '' big.txt) lines"
expect_contains big.txt "\"deep$(printf '\\d%.0s' $(seq 200))\\bottom.txt\""
expect_contains big.txt "\"names\\n~n\""
# Bytes that are no UTF-8 are shown and logged as \xNN: the console and the
# log are UTF-8, and the log has every line.
for file in "$OUT" big.log; do
  expect_contains "$file" "/big/names/bad\\xFF\\xFE\": File name cannot be stored in a hash list: it is not valid UTF-8."
  expect_contains "$file" "/big/names/cut\\xE2\\x82\": File name cannot be stored in a hash list: it is not valid UTF-8."
  iconv -f UTF-8 -t UTF-8 "$file" >/dev/null || fail "$file is not UTF-8"
done
[ "$(grep -c '^ERROR' big.log)" -eq 5 ] || fail "big.log: $(cat -A big.log)"
expect_contains "$OUT" "/big/names/n\"n\": File name cannot be stored in a hash list: it contains a double quote."
run big.txt big -t- -p -sm -e verify.log
expect_rc 103 "verify of the same tree"
# Control characters in names reach neither the console nor the log raw:
# they are \xNN there, byte by byte. The list and -o keep them exact.
for file in "$OUT" verify.log; do
  expect_contains "$file" "/big/names/cr\\x0Dz\": File name cannot be stored in a hash list: it contains a line break."
  LC_ALL=C grep -aqP '[\x00-\x07\x0B\x0C\x0E-\x1F\x7F]|\xC2[\x80-\x9F]' "$file" &&
    fail "$file shows control characters: $(grep -a 'names.[ect]' "$file" | cat -A)"
done
expect_contains "$OUT" "MATCHED	\"names\\c\\xC2\\x9B1m\""
run big.txt big -sm -o big.out
expect_contains big.out $'"names\\t\tb\ad\x7f"'
run $'-\xff'
expect_rc 254 "an option that is no UTF-8"
expect_contains "$OUT" "Unknown argument \"-\\xFF\"."

# Directories are entered whatever their names: only the files below them
# that the rules take are errors.
mkdir -p 'dn/z"d' "dn/x"$'\xfe'"y"
printf 't' > 'dn/z"d/a.tmp'
printf 't' > "dn/x"$'\xfe'"y/b.tmp"
printf 'k' > dn/keep.txt
run -b dn.txt dn -x '*.tmp'
expect_rc 0 "odd directory names whose files are excluded"
run -b dn.txt dn
expect_rc 103 "odd directory names"
expect_contains "$OUT" "/dn/z\"d/a.tmp\": File name cannot be stored in a hash list: it contains a double quote."
expect_contains dn.txt "\"keep.txt\""

# Things that are no files: a FIFO, a socket, and links to devices and to
# them are skipped without opening them, with links followed (-j) or not;
# a link to the directory itself is not followed round.
mkdir odd
mkfifo odd/fifo
python3 -c "import socket; socket.socket(socket.AF_UNIX).bind('odd/sock')"
ln -s /dev/zero odd/zero
ln -s /dev/null odd/null
ln -s fifo odd/fifo.lnk
ln -s . odd/self
printf 'p' > odd/plain.txt
for junctions in -j -j-; do
  run -b odd.txt odd "$junctions"
  expect_rc 0 "FIFO, socket and devices ($junctions)"
  [ "$(grep -c '' odd.txt)" -eq 1 ] || fail "odd.txt ($junctions): $(cat odd.txt)"
  expect_contains odd.txt "\"plain.txt\""
done

# A list that is not a regular file is written in place, never replaced: a
# device node (where one can be made) and a list reached through a link.
if mknod null c 1 3 2>/dev/null; then
  run -u null t
  [ -c null ] || fail "the device node was replaced"
fi
mkdir real
cp good.txt real/list.txt
ln -s real/list.txt link.txt
printf 'w' > t/c.txt
run -u link.txt t
expect_rc 1 "update through a link"
[ -L link.txt ] || fail "the link was replaced"
expect_contains real/list.txt "\"c.txt\""
[ -z "$(ls -A real | grep -v '^list\.txt$')" ] || fail "left in real/: $(ls -A real)"

finish
