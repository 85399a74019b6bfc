#!/usr/bin/env bash
# virelomp3-cli get against a real music server of the Subsonic kind
# (Debian's supysonic): two songs found by their Chinese titles come down
# byte-exact, a third killed half-way resumes from its block files, and
# the task list never holds the password in any form.
# usage: SubsonicEndToEnd.sh CLI WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 work=$2
export PATH=/usr/bin:/bin  # the server runs on the system Python only
for tool in supysonic-cli supysonic-server sox lame iconv python3 cmp; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done
/usr/bin/python3 -c 'import waitress' 2>/dev/null || { echo "skipped: python3-waitress missing"; exit 77; }

titles=("月亮代表我的心" "甜蜜蜜" "Moon River")
seconds=(70 75 260)
password='s3cret pw'

# The library is kept between runs: making it is the slow part.
lib=$work/library
mkdir -p "$lib"
for i in 0 1 2; do
  f=$lib/song$i.mp3
  [ -s "$f" ] && continue
  sox -n -r 44100 -c 2 "$work/tone$i.wav" synth "${seconds[$i]}" sine $((300 + 110 * i))
  lame --quiet -b 128 --tt "${titles[$i]}" --ta "Artist $i" "$work/tone$i.wav" "$f.part"
  rm -f "$work/tone$i.wav"
  mv "$f.part" "$f"
done

run=$(mktemp -d "$work/run.XXXXXX")
server_pid= proxy_pid= get_pid=
stop() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  if [ -n "$get_pid" ]; then kill -9 "$get_pid" 2>/dev/null || true; fi
  stop "$proxy_pid"
  stop "$server_pid"
  rm -rf "$run"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for l in "$run"/*.log; do [ -f "$l" ] && { echo "== $l" >&2; tail -n 30 "$l" >&2; }; done
  exit 1
}

# The server's own private world: config in its working directory, HOME and TMPDIR.
srv=$run/server
mkdir -p "$srv/home" "$srv/tmp"
cat > "$srv/supysonic.conf" <<CONF
[base]
database_uri = sqlite:///$srv/db.sqlite
scanner_extensions = mp3
[webapp]
mount_webui = off
cache_dir = $srv/cache
[daemon]
run_watcher = no
CONF
in_server() { (cd "$srv" && HOME=$srv/home TMPDIR=$srv/tmp "$@"); }
in_server supysonic-cli user add listener -p "$password" >"$run/setup.log" 2>&1 || fail "user add"
in_server supysonic-cli folder add lib "$lib" >>"$run/setup.log" 2>&1 || fail "folder add"
in_server supysonic-cli folder scan --foreground lib >>"$run/setup.log" 2>&1 || fail "scan"

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
# A free port can be taken by another test before our process binds it:
# the listener must be the process just started, else it is started again
# on another port. on_free_port START sets got_port and got_pid.
ours() { ss -Hltnp "sport = :$1" 2>/dev/null | grep -q "pid=$2,"; }
on_free_port() {
  for _ in 1 2 3 4 5; do
    got_port=$(free_port)
    "$1" "$got_port"
    got_pid=$!
    if wait_port "$got_port" "$got_pid" && ours "$got_port" "$got_pid"; then return 0; fi
    stop "$got_pid"
  done
  return 1
}
start_server() {
  (cd "$srv" && HOME=$srv/home TMPDIR=$srv/tmp exec supysonic-server -S waitress -h 127.0.0.1 -p "$1") \
    >"$run/server.log" 2>&1 &
}
on_free_port start_server || fail "the server did not start"
port=$got_port server_pid=$got_pid

# A slow door in front of it, so that a download can be caught half-way.
# It counts the bytes it passes to the client.
cat > "$run/throttle.py" <<'PY'
import asyncio, sys
listen, upstream, rate, count_file = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
total = 0
async def pipe(r, w, slow):
    global total
    try:
        while True:
            data = await r.read(8192)
            if not data:
                break
            w.write(data)
            await w.drain()
            if slow:
                total += len(data)
                with open(count_file, "w") as f:
                    f.write(str(total))
                await asyncio.sleep(len(data) / rate)
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        w.close()
async def serve(cr, cw):
    try:
        ur, uw = await asyncio.open_connection("127.0.0.1", upstream)
    except OSError:
        cw.close()
        return
    await asyncio.gather(pipe(cr, uw, False), pipe(ur, cw, True))
async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", listen)
    async with server:
        await server.serve_forever()
asyncio.run(main())
PY
start_door() { /usr/bin/python3 "$run/throttle.py" "$1" "$port" 400000 "$run/door.count" >"$run/door.log" 2>&1 & }
on_free_port start_door || fail "the throttle did not start"
door=$got_port proxy_pid=$got_pid

home=$run/home
mkdir -p "$home/已下载" "$run/tmp"
chmod 700 "$run/tmp"
printf '%s\r\n' "[FileType]" "CurSel=.MP3" "Count=1" "ExtName1=.MP3" \
  "[Enginee]" "CurSel=1" "Count=1" "Enginee1=我的音乐库" \
  "Enginee1_server=http://127.0.0.1:$door" "Enginee1_user=listener" "Enginee1_password=$password" \
  "[Size]" "MinSize=0.5" "MaxSize=20" "Blocks=3" "[Speed]" "CheckSpeed=0" |
  iconv -f UTF-8 -t GBK > "$home/MP3.ini"
export VIRELOMP3_HOME=$home TMPDIR=$run/tmp/

# 1. Two songs by their Chinese titles.
timeout 150 "$cli" get --no-update-check "${titles[0]};${titles[1]}" >"$run/get1.log" 2>&1 ||
  fail "virelomp3-cli get failed"
for i in 0 1; do
  cmp "$home/已下载/${titles[$i]}.MP3" "$lib/song$i.mp3" || fail "${titles[$i]} differs from the library"
done

# 2. The third, killed half-way, then resumed.
size=$(stat -c %s "$lib/song2.mp3")
block_bytes() {
  local total=0 f
  for f in "$run/tmp"/*.hpt; do [ -f "$f" ] && total=$((total + $(stat -c %s "$f"))); done
  echo "$total"
}
"$cli" get --no-update-check "${titles[2]}" >"$run/get2.log" 2>&1 &
get_pid=$!
for _ in $(seq 1 600); do
  [ "$(block_bytes)" -gt $((size / 3)) ] && break
  kill -0 "$get_pid" 2>/dev/null || break
  sleep 0.05
done
kill -9 "$get_pid" 2>/dev/null || true
wait "$get_pid" 2>/dev/null || true
get_pid=
[ ! -f "$home/已下载/${titles[2]}.MP3" ] || fail "the download finished before the kill"
kept=$(block_bytes)
[ "$kept" -gt 0 ] || fail "no block files were kept"
[ -f "$home/downing.dat" ] || fail "no task list was kept"

# The task list holds the bare link, never the password in any form.
hex=$(printf '%s' "$password" | od -An -tx1 | tr -d ' \n')
for form in "$password" "$hex" "${hex^^}" "s3cret%20pw" "s3cret+pw" "enc:" "&t=" "&p=" "u=listener"; do
  if grep -aqF -- "$form" "$home/downing.dat"; then fail "downing.dat holds '$form'"; fi
done
grep -aq "http://127.0.0.1:$door/rest/download.view?id=" "$home/downing.dat" || fail "downing.dat lacks the link"

before=$(cat "$run/door.count")
timeout 150 "$cli" get --no-update-check "${titles[2]}" >"$run/get3.log" 2>&1 || fail "the resumed get failed"
cmp "$home/已下载/${titles[2]}.MP3" "$lib/song2.mp3" || fail "${titles[2]} differs after the resume"
moved=$(( $(cat "$run/door.count") - before ))
[ "$moved" -lt "$size" ] || fail "the resumed get moved $moved bytes, the whole file is $size"
for form in "$password" "$hex" "enc:"; do
  if grep -aqF -- "$form" "$home/downing.dat" 2>/dev/null; then fail "downing.dat holds '$form'"; fi
done
echo "ok: two titles byte-exact; resume kept $kept bytes and moved $moved of $size"
