#!/usr/bin/env bash
# Usage errors and the help screen: message, screen, exit code 254, and no
# file touched.
source "$(dirname "$0")/lib.sh" "$1"

HELP_SCREEN=$(sed 's/$/\r/' <<'SCREEN'
Syntax: verify-x64 [<arg>] [<arg>] ... <hashfile> [<dir>] [<dir>] ...

Commands:
 -h, -? ......... Show this help screen.

 -b ............. Build a new hash list.
 -v ............. Redure an existing hash list (default).
 -u ............. Redure and update an existing hash list.
 -m <file> ...... Match new hash list <hashfile> against old <file>.
 -D <file> ...... Find files from <hashfile> which exist in <file>.
 -D1 ............ Find dupes within <hashfile>.

Matching specifiers:
 -j[-] .......... [Don't] Scan junctions and reparse points (default: -j).
 -r[-] .......... [Don't] Recursively scan subdirectories (default: -r).
 -t[-] .......... [Don't] Use file modification timestamp (default: -t).
 -tp <msec> ..... Use <msec> millisecond precision for comparison (default: 0).

Source files:
 -d <dir> ....... Add directory <dir> to scanned directories.
 -rd <dir> ...... Do not write the initial <dir> to output hashlist.
 -i <wildcard>... Include files whose name matches <wildcard>.
 -x <wildcard>... Exclude files whose name matches <wildcard>.
 -ir <regexp>.... Include files whose full name matches <regexp>.
 -xr <regexp>.... Exclude files whose full name matches <regexp>.

Output settings:
 -p[-] .......... [Don't] Show progress.
 -e <file> ...... Write error log to file.
 -o <file> ...... Write verify/match/dupes results to <file>.
 -sm[-] ......... [Don't] Show matched (non-changed) files (default: -sm-).
 -sa[-] ......... [Don't] Show added (new) files (default: -sa).
 -sc[-] ......... [Don't] Show changed files (default: -sc).
 -sd[-] ......... [Don't] Show deleted files (default: -sd).
 -sp[-] ......... [Don't] Show copied files (default: -sp).
 -sr[-] ......... [Don't] Show renamed files (default: -sr).

SCREEN
)
HELP_SCREEN="$HELP_SCREEN
"
# The screen names the program as it was started.
HELP_SCREEN=${HELP_SCREEN/verify-x64/$(basename "$PROG")}
# The i386 program has one more option, and only it knows the two forms.
TP_ROW=" -tp <msec> ..... Use <msec> millisecond precision for comparison (default: 0).$CR
"
if [ "$I386" = 1 ]; then
  HELP_SCREEN=${HELP_SCREEN/"$TP_ROW"/"$TP_ROW -wow64[-] ...... [Disable] Wow64 filesystem redirection (default: -wow64).$CR
"}
  UNKNOWN_HERE=()
else
  UNKNOWN_HERE=(-wow64 -wow64-)
fi

# usage_error MESSAGE ARGS...: the run fails with MESSAGE and the screen.
usage_error() {
  local message=$1
  shift
  run "$@"
  expect_rc 254 "$message"
  expect_output "$BANNER$message$CR
$CR
$HELP_SCREEN"
}

# Help.
run -h
expect_rc 254 "-h"
expect_output "$BANNER$HELP_SCREEN"
run list.txt -?
expect_rc 254 "-?"
expect_output "$BANNER$HELP_SCREEN"

# No arguments, unknown options, the first error wins.
usage_error "Hashfile must be provided."
for arg in -H -B --help -vv - -WOW64- -Wow64 "${UNKNOWN_HERE[@]}"; do
  usage_error "Unknown argument \"$arg\"." list.txt "$arg"
done
usage_error "Unknown argument \"-H\"." -H -h
usage_error "Empty argument." list.txt ""

# An empty value after an option is taken as it is: -d "" is the current
# directory, -rd "" no root, -o "" the console, -e "" no log; an empty mask
# matches no path, and an empty expression fails where it is first used.
mkdir etree
printf 'e' > etree/e.txt
cd etree
run -b ../empty.txt -d "" -rd "" -o "" -e "" -x ""
expect_rc 0 "build with empty option values"
expect_output "$BANNER"
grep -q "^$BOM\"e.txt\" " ../empty.txt || fail "-d \"\" did not scan the current directory"
printf 'n' > n.txt
run ../empty.txt -d "" -p -o out.txt -o "" -e ""
expect_rc 1 "verify with empty option values"
expect_contains "$OUT" "ADDED	\"n.txt\"$CR"
run -b ../none.txt -d "" -i ""
expect_rc 0 "build with an empty include mask"
expect_file ../none.txt "$BOM"
run -b ../none.txt -d "" -xr ""
expect_rc 254 "empty expression"
if [ "$I386" = 1 ]; then
  expect_output "${BANNER}ERROR Exception: TPerlRegEx.Compile() - Please specify a regular expression in RegEx first$CR
"
else
  expect_output "${BANNER}ERROR ERegularExpressionError: A regular expression specified in RegEx is required$CR
"
fi
[ "$(ls -A)" = "$(printf 'e.txt\nn.txt')" ] || fail "empty option values left files: $(ls -A)"
cd "$WORK"

# Commands that clash, missing and wrong option arguments.
CLASH="Only one of -b/-v/-vf/-u/-uf/-m/-D commands may be present."
usage_error "$CLASH" -b -v list.txt
usage_error "$CLASH" -v -v list.txt
usage_error "$CLASH" list.txt -b -m
mkdir adir
printf 'x' > old.txt
usage_error "$CLASH" -D1 -D old.txt list.txt
usage_error "Matchfile not found for -m command." list.txt -m adir
usage_error "Dupesfile not found for -D command." list.txt -D nothing.txt
usage_error "File name must be provided for -m command." list.txt -m
usage_error "File name must be provided for -D command." list.txt -D
usage_error "Precision must be provided with -tp argument." list.txt -tp
for value in 10ms -1 99999999999; do
  usage_error "Precision must be an integer number, not \"$value\"." list.txt -tp "$value"
done
usage_error "Mask must be provided with -i argument." list.txt -i
usage_error "Mask must be provided with -x argument." list.txt -x
usage_error "Regular expression must be provided with -ir argument." list.txt -ir
usage_error "Regular expression ask must be provided with -xr argument." list.txt -xr
usage_error "Directory name must be provided with -d argument." list.txt -d
usage_error "Directory name must be provided with -rd argument." list.txt -rd
usage_error "File name must be provided with -o argument." list.txt -o
usage_error "File name must be provided with -e argument." list.txt -e

# Accepted precisions reach the command (which fails on the missing list).
for value in 0 '$10' 0x10; do
  run list.txt -tp "$value"
  expect_rc 254 "-tp $value"
  expect_contains "$OUT" "ERROR EFOpenError"
done

# Output or error log on a list file: refused before anything is touched.
mkdir tree
printf 'data' > tree/f.txt
run -b list.txt tree
expect_rc 0 "build"
cp list.txt list.keep
touch -d '2001-01-01 00:00:00' list.txt old.txt
before=$(stat -c '%Y %s' list.txt old.txt)
usage_error "Output file must differ from the hash list file." list.txt tree -o list.txt
usage_error "Output file must differ from the hash list file." -o ./list.txt -b list.txt tree
ln list.txt hardlink.txt
usage_error "Output file must differ from the hash list file." -u list.txt tree -o hardlink.txt
usage_error "Output file must differ from the -m/-D file." list.txt -m old.txt -o "$WORK/old.txt"
usage_error "Error log file must differ from the hash list file." -e list.txt -b list.txt tree
usage_error "Error log file must differ from the -m/-D file." list.txt -D old.txt -e old.txt
usage_error "Output file must differ from the error log file." list.txt -o r.txt -e ./r.txt
[ "$(stat -c '%Y %s' list.txt old.txt)" = "$before" ] || fail "a list file was touched"
cmp -s list.txt list.keep || fail "the hash list changed"
expect_missing r.txt

finish
