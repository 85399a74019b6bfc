#!/usr/bin/env bash
# The virelomp3-server program itself: options, the port it reports, a
# clean stop on SIGTERM and SIGINT, a refused second copy on the same port.
# usage: ServerBinary.sh SERVER WORKDIR
set -euo pipefail
server=$1 work=$2
mkdir -p "$work"
run=$(mktemp -d "$work/run.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$run"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir -p "$run/root/songs"
printf 'x%.0s' $(seq 1 100) > "$run/root/songs/a.mp3"

# Bad options: usage on stderr, exit 2.
for args in "--port" "--port 70000" "--port abc" "--bogus"; do
  # shellcheck disable=SC2086
  if "$server" $args > /dev/null 2> "$run/err"; then fail "'$args' was accepted"; else rc=$?; fi
  [ "$rc" -eq 2 ] || fail "'$args' exited $rc"
  [ -s "$run/err" ] || fail "'$args' said nothing"
done
"$server" --help | grep -q -- '--root' || fail "--help does not describe --root"
if "$server" --root "$run/nosuch" --port 0 > /dev/null 2> "$run/err"; then fail "missing root accepted"; fi
grep -q nosuch "$run/err" || fail "missing root not named"

start() {  # log file; sets pid and port
  "$server" --root "$run/root" --port "${2:-0}" --log "$1" > "$run/out" 2>&1 &
  pid=$!
  pids+=("$pid")
  port=
  for _ in $(seq 1 100); do
    port=$(grep -o '127\.0\.0\.1:[0-9]*' "$run/out" 2>/dev/null | head -n 1 | cut -d: -f2 || true)
    [ -n "$port" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

fetch() {  # path -> status line
  exec 3<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n' "$1" >&3
  # Read the whole answer: closing after the status line could cut the
  # body short and change the byte count the log records.
  local answer
  answer=$(cat <&3 | tr -d '\r')
  exec 3>&-
  printf '%s\n' "${answer%%$'\n'*}"
}

for sig in TERM INT; do
  start "$run/log-$sig" || fail "server did not start"
  [ "$port" -gt 0 ] && [ "$port" -ne 18317 ] || fail "port $port"
  [ "$(fetch /songs/a.mp3)" = "HTTP/1.1 200 OK" ] || fail "no answer on the reported port"
  # A second copy on the same port is refused and the first keeps serving.
  if "$server" --root "$run/root" --port "$port" > /dev/null 2> "$run/err2"; then fail "second copy started"; fi
  grep -q "$port" "$run/err2" || fail "second copy did not name the port"
  [ "$(fetch /count.asp)" = "HTTP/1.1 200 OK" ] || fail "first copy stopped serving"
  kill -"$sig" "$pid"
  rc=0
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "SIG$sig did not stop the server"
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "SIG$sig: exit $rc"
  grep -q 'GET /songs/a.mp3 range=- 200 100$' "$run/log-$sig" || fail "request not logged"
done
echo "ok: options, reported port, stop on TERM and INT, second copy refused"
