#!/usr/bin/env bash
# https through real servers: nginx with ssl (a CA and certificates made
# here with openssl) serves a demo song to virelomp3-cli fetch, byte-exact
# at 1 to 5 blocks, over IPv4 and the IPv6 literal [::1], and again after a
# SIGKILL part-way; a server the trust store does not vouch for is refused
# with the reason and no file; SIGINT during a handshake that never ends
# exits 130 promptly. Then squid (private config, started here) carries http
# in absolute form and https through CONNECT, both byte-exact, its own log
# showing the requests; the target's name is known to the proxy alone.
# usage: NginxTls.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 repo=$3 work=$4
. "$repo/tests/support/servers.sh"
song="春天的小河"
[ -x "$NGINX" ] || { echo "skipped: nginx missing"; exit 77; }
needs espeak-ng sox lame openssl python3

demo_song "$repo" "$work" "$song"

private_run "$work"

serve_song

# --- certificates: a CA, and a server certificate for the names used here.
pki=$run/pki
make_ca "$pki"
issue_cert "$pki" server "DNS:songs.test,DNS:localhost,IP:127.0.0.1,IP:::1"

nginx_up "$run/nginx" nginx "
  types { audio/mpeg mp3; }
  log_format ranges '\$request range=\$http_range \$status \$ssl_session_reused \$body_bytes_sent';
  access_log $run/nginx/access.log ranges;
  ssl_session_cache shared:tls:1m;
  server {
    listen 127.0.0.1:@PORT@ ssl;
    listen [::1]:@PORT@ ssl;
    ssl_certificate $pki/server.pem;
    ssl_certificate_key $pki/server.key;
    root $run/www;
    limit_rate 400k;
  }" || fail "nginx did not start"
port=$nginx_port

export TMPDIR=$run/tmp/
export VIRELOMP3_HOME=$run
export SSL_CERT_FILE=$pki/ca.pem
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY no_proxy NO_PROXY
url="https://127.0.0.1:$port/song.mp3"

# 1. Byte-exact at 1 to 5 blocks, and over [::1].
for n in 1 2 3 4 5; do
  timeout 100 "$cli" fetch "$url" "$run/whole$n.mp3" --blocks $n 2>"$run/fetch$n.log" ||
    { cat "$run/fetch$n.log" >&2; fail "https fetch at $n blocks failed"; }
  cmp "$run/whole$n.mp3" "$library_file" || fail "https fetch at $n blocks differs"
done
timeout 100 "$cli" fetch "https://[::1]:$port/song.mp3" "$run/v6.mp3" --blocks 3 2>"$run/fetch-v6.log" ||
  { cat "$run/fetch-v6.log" >&2; fail "https fetch over [::1] failed"; }
cmp "$run/v6.mp3" "$library_file" || fail "https fetch over [::1] differs"
grep -q ' r$\| r [0-9]*$' "$run/nginx/access.log" || fail "no block connection resumed a TLS session"

# 2. Killed part-way, then resumed from the block files.
block_bytes() {
  local total=0 f
  for f in "$run/tmp/virelomp3-$(id -u)"/resumed.mp3-*.hpt; do
    [ -f "$f" ] && total=$((total + $(stat -c %s "$f")))
  done
  echo "$total"
}
"$cli" fetch "$url" "$run/resumed.mp3" --blocks 3 2>"$run/fetch-kill.log" &
victim=$!
for _ in $(seq 1 400); do
  [ "$(block_bytes)" -gt 150000 ] && break
  sleep 0.05
done
kill -9 "$victim"
wait "$victim" 2>/dev/null || true
[ "$(block_bytes)" -gt 0 ] || fail "no block files were kept"
timeout 100 "$cli" fetch "$url" "$run/resumed.mp3" --blocks 3 2>"$run/fetch-resume.log" ||
  { cat "$run/fetch-resume.log" >&2; fail "resumed https fetch failed"; }
cmp "$run/resumed.mp3" "$library_file" || fail "resumed https file differs"

# 3. A CA nobody named: refused with the reason, no file.
if SSL_CERT_FILE=/nonexistent SSL_CERT_DIR=/nonexistent timeout 60 "$cli" fetch "$url" "$run/untrusted.mp3" \
     2>"$run/untrusted.log"; then
  fail "an untrusted server was accepted"
fi
grep -q '服务器证书无效: unable to get local issuer certificate' "$run/untrusted.log" ||
  { cat "$run/untrusted.log" >&2; fail "the refusal did not say why"; }
[ ! -e "$run/untrusted.mp3" ] || fail "a file was left by a refused server"

# 4. SIGINT while the handshake hangs: exit 130, promptly.
start_silent() {
  python3 -c '
import socket, sys, time
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
held = []
end = time.time() + 60
s.settimeout(0.2)
while time.time() < end:
    try: held.append(s.accept()[0])
    except socket.timeout: pass
' "$1" &
}
on_free_port start_silent || fail "the silent listener did not start"
silent_port=$got_port
"$cli" fetch "https://127.0.0.1:$silent_port/song.mp3" "$run/stalled.mp3" 2>"$run/stalled.log" &
stalled=$!
sleep 1
start=$(date +%s%N)
kill -INT "$stalled"
rc=0
for _ in $(seq 1 50); do kill -0 "$stalled" 2>/dev/null || break; sleep 0.1; done
kill -0 "$stalled" 2>/dev/null && { kill -9 "$stalled"; fail "SIGINT during a TLS handshake did not end the fetch within 5 s"; }
wait "$stalled" || rc=$?
[ "$rc" -eq 130 ] || fail "SIGINT during a TLS handshake exited $rc, not 130"
echo "ok: nginx https byte-exact at 1-5 blocks and over [::1]; resumed after SIGKILL; untrusted refused; SIGINT in a handshake took $(( ($(date +%s%N) - start) / 1000000 )) ms"

# --- squid, when it is installed.
[ -x "$SQUID" ] || { echo "skipped: squid missing"; exit 0; }
# nginx again, plain http, for the absolute-form requests.
nginx_up "$run/nginx" plain "
  types { audio/mpeg mp3; }
  access_log $run/nginx/plain-access.log;
  server { listen 127.0.0.1:@PORT@; root $run/www; }" || fail "plain nginx did not start"
http_port=$nginx_port
sq=$run/squid
mkdir -p "$sq"
echo "127.0.0.1 songs.test" > "$sq/hosts"
squid_port=$(free_port)
squid_start "$sq" "$squid_port" "http_access allow all" || fail "squid did not start"

export http_proxy=http://127.0.0.1:$squid_port https_proxy=http://127.0.0.1:$squid_port
timeout 100 "$cli" fetch "http://songs.test:$http_port/song.mp3" "$run/proxied.mp3" --blocks 3 \
  2>"$run/proxied.log" || { cat "$run/proxied.log" >&2; fail "http through squid failed"; }
cmp "$run/proxied.mp3" "$library_file" || fail "http through squid differs"
timeout 100 "$cli" fetch "https://songs.test:$port/song.mp3" "$run/tunnelled.mp3" --blocks 3 \
  2>"$run/tunnelled.log" || { cat "$run/tunnelled.log" >&2; fail "https through squid failed"; }
cmp "$run/tunnelled.mp3" "$library_file" || fail "https through squid differs"
for _ in $(seq 1 50); do grep -q CONNECT "$sq/access.log" 2>/dev/null && break; sleep 0.1; done
grep -q "GET http://songs.test:$http_port/song.mp3" "$sq/access.log" || fail "squid's log shows no absolute-form request"
grep -q "CONNECT songs.test:$port" "$sq/access.log" || fail "squid's log shows no tunnel"
echo "ok: squid carried http in absolute form and https through CONNECT, byte-exact"
