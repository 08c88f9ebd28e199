#!/usr/bin/env bash
# Build over a tree whose files are replaced, as editors save them, while it
# runs: every line must describe bytes that were really there together, its
# size and time those of the very content its digest is of.
source "$(dirname "$0")/lib.sh" "$1"

# Version K of a file has content of its own and the time 2001-01-01 + K s,
# so a line's time tells which content its digest must be of.
cat >versions.py <<'PY'
import os, sys
BASE = 978307200  # 2001-01-01 00:00:00 UTC

def write(path, version):
    big = os.path.basename(path).startswith("big")
    text = f"{os.path.basename(path)} v{version}\n".encode()
    size = (2 * 1024 * 1024 + version) if big else len(text) * (1 + version % 5)
    data = (text * (size // len(text) + 1))[:size]
    # Written aside, so that the scan never meets a half-written version.
    temp = os.path.join("staging", os.path.basename(path))
    with open(temp, "wb") as f:
        f.write(data)
    os.utime(temp, (BASE + version, BASE + version))
    os.rename(temp, path)
PY

# churn STOP: replaces files at random, each by a new version, until STOP exists.
churn() {
  python3 - "$1" <<'PY'
import os, random, sys
sys.path.insert(0, ".")
from versions import write
names = sorted(os.path.join(d, f) for d, _, fs in os.walk("tree") for f in fs)
version = 1
while not os.path.exists(sys.argv[1]):
    for path in random.sample(names, 8) + [p for p in names if "big" in p]:
        version += 1
        write(path, version)
    open("churning", "w").close()
PY
}

mkdir staging
python3 - <<'PY'
import os, sys
sys.path.insert(0, ".")
from versions import write
for i in range(1500):
    os.makedirs(f"tree/d{i % 40}", exist_ok=True)
    write(f"tree/d{i % 40}/f{i}.txt", 0)
for i in range(3):
    write(f"tree/big{i}.bin", 0)
PY

for round in 1 2 3; do
  rm -f stop churning list.txt
  churn stop &
  churner=$!
  while [ ! -e churning ]; do sleep 0.01; done
  run -b list.txt tree
  touch stop
  wait "$churner"
  expect_rc 0 "round $round: build"
  # The tree each line describes, version by version; it must match the list.
  rm -rf described
  python3 - <<'PY' || fail "round $round: a line could not be read back"
import datetime, os, re, sys
sys.path.insert(0, ".")
from versions import BASE, write
for line in open("list.txt", encoding="utf-8-sig"):
    m = re.match(r'"([^"]+)"\s+(\S+)\s+(\d+)\s+(\S+)', line)
    when = datetime.datetime.fromisoformat(m.group(2)).replace(tzinfo=datetime.timezone.utc)
    path = os.path.join("described", *m.group(1).split("\\"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write(path, int(when.timestamp()) - BASE)
PY
  run -t- list.txt described
  expect_rc 0 "round $round: lines whose time, size and digest are of other versions: $(cat "$OUT")"
done

finish
