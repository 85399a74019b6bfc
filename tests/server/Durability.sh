#!/usr/bin/env bash
# A finished song reaches the disk before anything that could replace it
# goes: under strace, the merged ".part" file is flushed, renamed to the
# song's name, its folder flushed, and only then are the block files deleted.
# usage: Durability.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 server=$2 work=$4
command -v strace >/dev/null || { echo "skipped: strace missing"; exit 77; }
strace -o /dev/null true 2>/dev/null || { echo "skipped: tracing is not allowed here"; exit 77; }

mkdir -p "$work"
run=$(mktemp -d "$work/run.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  rm -rf "$run"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; grep -n -E 'fsync|rename|unlink' "$run/trace" >&2 2>/dev/null | tail -n 30; exit 1; }

mkdir -p "$run/root/songs" "$run/home" "$run/out" "$run/tmp"
chmod 700 "$run/tmp"
head -c 300000 /dev/urandom > "$run/root/songs/a.mp3"

"$server" --root "$run/root" --port 0 --log "$run/server.log" > "$run/server.out" 2>&1 &
server_pid=$!
port=
for _ in $(seq 1 200); do
  port=$(grep -o '127\.0\.0\.1:[0-9]*' "$run/server.out" 2>/dev/null | head -n 1 | cut -d: -f2 || true)
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || fail "the server did not start: $(cat "$run/server.out")"
  sleep 0.05
done
[ -n "$port" ] || fail "the server named no port"

export TMPDIR=$run/tmp/ VIRELOMP3_HOME=$run/home
# A leak check cannot run under a tracer; the sanitizer builds would fail
# on that alone.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  timeout 120 strace -f -y -o "$run/trace" -e trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat \
    "$cli" fetch "http://127.0.0.1:$port/songs/a.mp3" "$run/out/a.mp3" --blocks 3 2>"$run/fetch.log" ||
  { cat "$run/fetch.log" >&2; fail "fetch failed"; }
cmp "$run/out/a.mp3" "$run/root/songs/a.mp3" || fail "the fetched file differs"
# A call another thread interrupts is traced in two halves; put each back
# together where it returned, so the order below is the order of returns
# (strace pads the pid and the result with runs of spaces).
awk '
  / <unfinished \.\.\.>$/ { p = $1; sub(/ <unfinished \.\.\.>$/, ""); half[p] = $0; next }
  /^[0-9]+ +<\.\.\. [a-z0-9_]+ resumed>/ {
    p = $1
    if (p in half) { rest = $0; sub(/^[0-9]+ +<\.\.\. [a-z0-9_]+ resumed>/, "", rest); print half[p] rest; delete half[p]; next }
  }
  { print }
' "$run/trace" > "$run/trace.joined" && mv "$run/trace.joined" "$run/trace"

# Line numbers, in the order the calls returned; only calls that worked.
first() { { grep -n -E "$1" "$run/trace" || true; } | { grep -E '= 0$' || true; } | head -n 1 | cut -d: -f1; }
part_sync=$(first "f(data)?sync\([0-9]+<$run/out/a\.mp3\.part>\)")
renamed=$(first "rename(at2?)?\(.*\"$run/out/a\.mp3\.part\".*\"$run/out/a\.mp3\"")
[ -n "$part_sync" ] || fail "the merged file was never flushed"
[ -n "$renamed" ] || fail "the merged file was never renamed"
[ "$part_sync" -lt "$renamed" ] || fail "renamed (line $renamed) before it was flushed (line $part_sync)"
# strace pads a resumed call's result to a column: any run of spaces.
folder_sync=$(tail -n +"$renamed" "$run/trace" | { grep -n -E "fsync\([0-9]+<$run/out>\) += 0$" || true; } | head -n 1 | cut -d: -f1)
[ -n "$folder_sync" ] || fail "the folder was not flushed after the rename"
folder_sync=$((renamed + folder_sync - 1))
deleted=$({ grep -n -E "unlink(at)?\(.*a\.mp3-[0-9]+\.hpt\"" "$run/trace" || true; } | { grep -E '= 0$' || true; } | cut -d: -f1)
# Block 0 becomes the ".part" by a rename where both folders share a file
# system; then only the other two are deleted.
took_first=$(first "rename(at2?)?\(.*a\.mp3-0\.hpt\".*\"$run/out/a\.mp3\.part\"")
expected=3
if [ -n "$took_first" ]; then
  expected=2
  [ "$took_first" -lt "$part_sync" ] || fail "block 0 became the part (line $took_first) after it was flushed"
fi
[ "$(printf '%s\n' "$deleted" | grep -c .)" -eq "$expected" ] || fail "expected $expected block files deleted, got: $deleted"
for line in $deleted; do
  [ "$line" -gt "$folder_sync" ] || fail "a block file went (line $line) before the folder was flushed (line $folder_sync)"
done
# Nothing stays: the job lets go of its lock file too, once nobody waits on it.
private=$run/tmp/virelomp3-$(id -u)
[ -z "$(ls -A "$private")" ] || fail "left in the temp folder: $(ls -A "$private")"
echo "ok: flushed at line $part_sync, renamed at $renamed, folder flushed at $folder_sync, blocks deleted after"
