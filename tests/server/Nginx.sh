#!/usr/bin/env bash
# Any real HTTP server can host the songs: nginx (private config, pid and
# logs, 127.0.0.1 only, a per-connection rate limit) serves a demo song to
# virelomp3-cli fetch, byte-exact; a fetch killed with SIGKILL part-way
# resumes from its block files and fetches less than the whole file again.
# usage: Nginx.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 repo=$3 work=$4
. "$repo/tests/support/servers.sh"
song="春天的小河"
[ -x "$NGINX" ] || { echo "skipped: nginx missing"; exit 77; }
needs espeak-ng sox lame

demo_song "$repo" "$work" "$song"

private_run "$work"

serve_song

nginx_up "$run/nginx" nginx "
  types { audio/mpeg mp3; }
  log_format ranges '\$request range=\$http_range \$status \$msec \$request_time \$body_bytes_sent';
  access_log $run/nginx/access.log ranges;
  server {
    listen 127.0.0.1:@PORT@;
    root $run/www;
    limit_rate 120k;
  }" || fail "nginx did not start"
port=$nginx_port
url="http://127.0.0.1:$port/song.mp3"
export TMPDIR=$run/tmp/
export VIRELOMP3_HOME=$run

# 1. A whole fetch in three blocks, byte-exact.
timeout 100 "$cli" fetch "$url" "$run/whole.mp3" --blocks 3 2>"$run/fetch1.log" || { cat "$run/fetch1.log" >&2; fail "fetch failed"; }
cmp "$run/whole.mp3" "$library_file" || fail "fetched file differs"

block_bytes() {
  local total=0 f
  for f in "$run/tmp/virelomp3-$(id -u)"/resumed.mp3-*.hpt; do
    [ -f "$f" ] && total=$((total + $(stat -c %s "$f")))
  done
  echo "$total"
}

# 2. Killed part-way, then resumed.
: > "$run/nginx/access.log"
"$cli" fetch "$url" "$run/resumed.mp3" --blocks 3 2>"$run/fetch2.log" &
client_pid=$!
# Wait until the block files hold something, but the download is far from done.
for _ in $(seq 1 400); do
  [ "$(block_bytes)" -gt 150000 ] && break
  sleep 0.05
done
[ "$(block_bytes)" -gt 150000 ] || { cat "$run/fetch2.log" >&2; fail "the fetch to be killed made no progress"; }
kill_client
[ ! -f "$run/resumed.mp3" ] || [ "$(stat -c %s "$run/resumed.mp3")" -ne "$size" ] || fail "the download finished before the kill"
kept=$(block_bytes)
[ "$kept" -gt 0 ] || fail "no block files were kept"
# nginx logs a killed connection only when its next paced send fails, which
# can be after the next fetch has begun: count requests by their start time.
resume_start=$(date +%s.%N)
timeout 100 "$cli" fetch "$url" "$run/resumed.mp3" --blocks 3 2>"$run/fetch3.log" || { cat "$run/fetch3.log" >&2; fail "resumed fetch failed"; }
cmp "$run/resumed.mp3" "$library_file" || fail "resumed file differs"
sleep 0.2  # nginx writes the access line when the answer is done
sent=$(awk -v t0="$resume_start" '$(NF-2) - $(NF-1) >= t0 - 0.002 { s += $NF } END { print s + 0 }' "$run/nginx/access.log")
[ "$sent" -lt "$size" ] || fail "the resumed fetch moved $sent bytes, the whole file is $size"
grep -q 'range=bytes=[1-9]' "$run/nginx/access.log" || fail "no ranged requests reached nginx"
echo "ok: nginx fetch byte-exact; resume after SIGKILL kept $kept bytes and moved $sent of $size"
