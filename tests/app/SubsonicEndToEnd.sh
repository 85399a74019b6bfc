#!/usr/bin/env bash
# virelomp3-cli get against a real music server of the Subsonic kind
# (Debian's supysonic): two songs found by their Chinese titles come down
# byte-exact, a third killed half-way resumes from its block files, and
# the task list never holds the password in any form.
# usage: SubsonicEndToEnd.sh CLI WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 work=$2
. "$(dirname "$0")/../support/servers.sh"
export PATH=/usr/bin:/bin  # the server runs on the system Python only
needs supysonic-cli supysonic-server sox lame iconv python3 cmp
/usr/bin/python3 -c 'import waitress' 2>/dev/null || { echo "skipped: python3-waitress missing"; exit 77; }

titles=("月亮代表我的心" "甜蜜蜜" "Moon River")
password='s3cret pw'
lib=$work/library
tone_library "$lib" 300 110 "${titles[0]}:70" "${titles[1]}:75" "${titles[2]}:260"

private_run "$work"

supysonic_setup "$run/server" "$lib" listener "$password" || fail "the music server's setup"
supysonic_start "$run/server" || fail "the server did not start"
port=$supysonic_port

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
door=$got_port

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
  for f in "$run/tmp/virelomp3-$(id -u)"/*.hpt; do [ -f "$f" ] && total=$((total + $(stat -c %s "$f"))); done
  echo "$total"
}
"$cli" get --no-update-check "${titles[2]}" >"$run/get2.log" 2>&1 &
client_pid=$!
for _ in $(seq 1 600); do
  [ "$(block_bytes)" -gt $((size / 3)) ] && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.05
done
kill_client
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
