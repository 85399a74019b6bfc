#!/usr/bin/env bash
# Any real HTTP server can host the songs: nginx (private config, pid and
# logs, 127.0.0.1 only, a per-connection rate limit) serves a demo song to
# virelomp3-cli fetch, byte-exact; a fetch killed with SIGKILL part-way
# resumes from its block files and fetches less than the whole file again.
# usage: Nginx.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 repo=$3 work=$4
song="春天的小河"
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "skipped: nginx missing"; exit 77; }
for tool in espeak-ng sox lame; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done

mkdir -p "$work"
"$repo/tools/make-demo-library" "$work/library" "$song" >/dev/null
library_file="$work/library/songs/$song.mp3"
size=$(stat -c %s "$library_file")

run=$(mktemp -d "$work/run.XXXXXX")
chmod 755 "$run"
nginx_pid=
fetch_pid=
cleanup() {
  [ -n "$fetch_pid" ] && kill -9 "$fetch_pid" 2>/dev/null
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null; wait "$nginx_pid" 2>/dev/null; fi
  rm -rf "$run"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; tail -n 20 "$run/nginx/error.log" "$run/nginx/access.log" >&2 2>/dev/null; exit 1; }

mkdir -p "$run/nginx/tmp" "$run/www" "$run/tmp"
chmod 700 "$run/tmp"
cp "$library_file" "$run/www/song.mp3"
chmod -R a+rX "$run/www"

start_nginx() {
  local port=$1
  cat > "$run/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $run/nginx/nginx.pid;
error_log $run/nginx/error.log warn;
events { worker_connections 64; }
http {
  types { audio/mpeg mp3; }
  log_format ranges '\$request range=\$http_range \$status \$msec \$request_time \$body_bytes_sent';
  access_log $run/nginx/access.log ranges;
  client_body_temp_path $run/nginx/tmp/body;
  proxy_temp_path $run/nginx/tmp/proxy;
  fastcgi_temp_path $run/nginx/tmp/fastcgi;
  uwsgi_temp_path $run/nginx/tmp/uwsgi;
  scgi_temp_path $run/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $run/www;
    limit_rate 120k;
  }
}
CONF
  "$nginx" -p "$run/nginx" -c "$run/nginx/nginx.conf" -e "$run/nginx/error.log" 2>>"$run/nginx/start.log" &
  nginx_pid=$!
  for _ in $(seq 1 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$nginx_pid" 2>/dev/null || { nginx_pid=; return 1; }
    sleep 0.1
  done
  return 1
}

port=
for _ in $(seq 1 10); do
  candidate=$(( 20000 + RANDOM % 30000 ))
  [ "$candidate" -eq 18317 ] && continue
  if start_nginx "$candidate"; then port=$candidate; break; fi
done
[ -n "$port" ] || fail "nginx did not start"
url="http://127.0.0.1:$port/song.mp3"
export TMPDIR=$run/tmp/
export VIRELOMP3_HOME=$run

# 1. A whole fetch in three blocks, byte-exact.
timeout 100 "$cli" fetch "$url" "$run/whole.mp3" --blocks 3 2>"$run/fetch1.log" || { cat "$run/fetch1.log" >&2; fail "fetch failed"; }
cmp "$run/whole.mp3" "$library_file" || fail "fetched file differs"

block_bytes() {
  local total=0 f
  for f in "$run/tmp"/resumed.mp3-*.hpt; do
    [ -f "$f" ] && total=$((total + $(stat -c %s "$f")))
  done
  echo "$total"
}

# 2. Killed part-way, then resumed.
: > "$run/nginx/access.log"
"$cli" fetch "$url" "$run/resumed.mp3" --blocks 3 2>"$run/fetch2.log" &
fetch_pid=$!
# Wait until the block files hold something, but the download is far from done.
for _ in $(seq 1 400); do
  [ "$(block_bytes)" -gt 150000 ] && break
  sleep 0.05
done
[ "$(block_bytes)" -gt 150000 ] || { cat "$run/fetch2.log" >&2; fail "the fetch to be killed made no progress"; }
kill -9 "$fetch_pid"
wait "$fetch_pid" 2>/dev/null || true
fetch_pid=
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
