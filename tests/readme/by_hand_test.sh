#!/usr/bin/env bash
# The README's way of watching a project by hand, run as written against the built service in a
# temporary folder: the scripts the README shows must be the ones in scripts/, a project set up
# by scripts/by-hand must be watched without a warning and record its saves, scripts/verify-ledger
# must pass the ledger, and catch a forged signature, a changed entry and deleted lines.
#
#   bash tests/readme/by_hand_test.sh <tallowmere-daemon executable>
set -euo pipefail
daemon=$1
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tallowmere-by-hand-XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Polls `command...` every 0.1 s until it holds or `seconds` have passed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# 1. The README shows the scripts verbatim.
python3 - "$repo" <<'PYTHON' || fail "README.md and scripts/ differ"
import re, sys
repo = sys.argv[1]
readme = open(f"{repo}/README.md", encoding="utf-8").read()
shown = re.findall(r"<!-- verbatim: (\S+) -->\n```[a-z]*\n(.*?)```\n", readme, re.S)
assert {name for name, _ in shown} == {"scripts/by-hand", "scripts/verify-ledger"}, [name for name, _ in shown]
for name, text in shown:
    if open(f"{repo}/{name}", encoding="utf-8").read() != text:
        sys.exit(f"the README's copy of {name} is not the script")
PYTHON

# 2. A project set up by hand, in a world of its own.
export TALLOWMERE_HOME="$work/central" HOME="$work/home" XDG_DATA_HOME="$work/data"
project="$work/My Song"
mkdir -p "$project" "$HOME"
printf '<REAPER_PROJECT 0.1 "7.0">\n>\n' > "$project/Song.rpp"
CONTRIBUTOR=me bash "$repo/scripts/by-hand" "$project" > "$work/by-hand.out" || fail "scripts/by-hand failed"
key_file="$XDG_DATA_HOME/tallowmere-keychain/tallowmere-core/me"
[ "$(stat -c %a "$key_file")" = 600 ] || fail "key file mode $(stat -c %a "$key_file")"
[ "$(wc -c < "$key_file")" = 44 ] || fail "key file holds $(wc -c < "$key_file") bytes, not 44 without a line feed"
work_id_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["work_id"])' "$1/.tallowmere"; }
public_key_of() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["contributors"][0]["public_key"])' "$1"; }
central_dir="$TALLOWMERE_HOME/projects/$(work_id_of "$project")"
# A second project of the same contributor reuses the stored key.
mkdir -p "$work/Other Song"
CONTRIBUTOR=me bash "$repo/scripts/by-hand" "$work/Other Song" > "$work/by-hand-2.out" || fail "scripts/by-hand failed again"
other_dir="$TALLOWMERE_HOME/projects/$(work_id_of "$work/Other Song")"
[ "$(public_key_of "$other_dir/manifest.json")" = "$(public_key_of "$central_dir/manifest.json")" ] ||
  fail "the second project records another public key"
ledger="$central_dir/ledger.jsonl"

# 3. The service watches it and records three saves, one after the other.
"$daemon" > "$work/out" 2> "$work/err" &
pid=$!
wait_until 60 grep -qxF "Press Ctrl-C to stop." "$work/out" || fail "not watched: $(cat "$work/out" "$work/err")"
entries() { [ -f "$ledger" ] && [ "$(wc -l < "$ledger")" -ge "$1" ]; }
for n in 1 2 3; do
  printf '<TRACK "Track %d">\n>\n' "$n" >> "$project/Song.rpp"
  wait_until 60 entries "$n" || fail "save $n not recorded: $(cat "$work/out" "$work/err")"
done
kill -INT "$pid"
wait "$pid" || fail "the service did not stop cleanly"
pid=
[ ! -s "$work/err" ] || fail "the service reported problems: $(cat "$work/err")"

# 4. The ledger verifies as it stands.
python3 "$repo/scripts/verify-ledger" "$project" > "$work/verify.out" || fail "verify-ledger: $(cat "$work/verify.out")"
grep -qF ": 3 entries, all verified" "$work/verify.out" || fail "verify-ledger said: $(cat "$work/verify.out")"

# 5. Each kind of tampering, on a copy of the central directory, is caught.
tampered() {
  local name=$1 expected=$2 edit=$3
  local copy="$work/tampered-$name"
  cp -r "$central_dir" "$copy"
  python3 - "$copy/ledger.jsonl" <<PYTHON
import json, sys
path = sys.argv[1]
lines = open(path, encoding="utf-8").read().splitlines(keepends=True)
$edit
open(path, "w", encoding="utf-8").writelines(lines)
PYTHON
  local status=0
  python3 "$repo/scripts/verify-ledger" "$copy" > "$work/verify-$name.out" || status=$?
  [ "$status" = 1 ] || fail "$name: verify-ledger exited with $status: $(cat "$work/verify-$name.out")"
  grep -qF "$expected" "$work/verify-$name.out" || fail "$name: no \"$expected\" in: $(cat "$work/verify-$name.out")"
}
tampered forged-signature "line 2: signature does not verify" '
first, second = json.loads(lines[0]), json.loads(lines[1])
lines[1] = lines[1].replace(second["signature"], first["signature"])'
tampered changed-entry "line 1: entry_hash does not match" '
lines[0] = lines[0].replace("\"byte_size\":", "\"byte_size\":1", 1)'
tampered deleted-line "line 2: causal_position 2 where 1 belongs" 'del lines[1]'
tampered deleted-last-line "the manifest records 3 entries" 'del lines[2]'
echo "by hand: set up, 3 saves recorded and verified; forged signature, changed entry and deleted lines caught"
