#!/usr/bin/env bash
# A proxy that asks who is calling: squid with basic authentication (its
# password file made here). The user and password of MP3.ini's proxy, or of
# http_proxy, carry http in absolute form and https through CONNECT to
# nginx, byte-exact; a wrong password ends with the proxy's refusal and no
# file; the password, plain, percent-encoded or in its Basic form, never
# shows in the program's output, a log, a process's arguments or the job's
# record, and the server behind the proxy never sees it.
# usage: ProxyAuth.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 repo=$3 work=$4
. "$repo/tests/support/servers.sh"
ncsa=/usr/lib/squid/basic_ncsa_auth
for prog in "$NGINX" "$SQUID" "$ncsa"; do
  [ -x "$prog" ] || { echo "skipped: $prog missing"; exit 77; }
done
needs espeak-ng sox lame openssl python3 base64 ps

demo_song "$repo" "$work" "春天的小河"
private_run "$work"
serve_song
mkdir -p "$run/home"

pki=$run/pki
make_ca "$pki"
issue_cert "$pki" server "DNS:songs.test,IP:127.0.0.1"

# The origin logs any Proxy-Authorization that reaches it: none may.
nginx_up "$run/nginx" nginx "
  types { audio/mpeg mp3; }
  log_format seen '\$scheme \$request \$status \$body_bytes_sent auth=\$http_proxy_authorization';
  access_log $run/nginx/access.log seen;
  server { listen 127.0.0.1:@PORT@; root $run/www; limit_rate 300k; }
  server {
    listen 127.0.0.1:@PORT2@ ssl;
    ssl_certificate $pki/server.pem;
    ssl_certificate_key $pki/server.key;
    root $run/www;
    limit_rate 300k;
  }" || fail "nginx did not start"
http_url="http://songs.test:$nginx_port/song.mp3"
https_url="https://songs.test:$nginx_port2/song.mp3"

# A password with a colon, an at-sign and a blank: all three must be
# percent-encoded in the proxy's address, and decoded before use.
user=listener
password="Qx7:p@ss w$RANDOM"
encoded=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$password")
basic=$(printf '%s:%s' "$user" "$password" | base64 -w0)
sq=$run/squid
mkdir -p "$sq"
printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" > "$sq/passwd"
chmod 644 "$sq/passwd"
echo "127.0.0.1 songs.test" > "$sq/hosts"
squid_port=$(free_port)
squid_start "$sq" "$squid_port" "auth_param basic program $ncsa $sq/passwd
auth_param basic children 2
auth_param basic realm songs
acl callers proxy_auth REQUIRED
http_access allow callers
http_access deny all" || fail "squid did not start"
proxy_with() { echo "http://$user:$1@127.0.0.1:$squid_port"; }

export TMPDIR=$run/tmp/ VIRELOMP3_HOME=$run/home SSL_CERT_FILE=$pki/ca.pem
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY no_proxy NO_PROXY
write_ini() {  # proxy value
  printf '%s\r\n' "[Network]" "Proxy=$1" > "$run/home/MP3.ini"
}

# fetch NAME URL [fetch options]: in the background, every process's
# arguments read while it runs; returns the fetch's exit code.
fetch() {
  local name=$1 url=$2 rc=0 _
  shift 2
  "$cli" fetch "$url" "$run/$name.mp3" "$@" 2>"$run/$name.log" &
  client_pid=$!
  for _ in $(seq 1 1200); do
    kill -0 "$client_pid" 2>/dev/null || break
    ps -eo args= >>"$run/ps.txt" 2>/dev/null || true
    sleep 0.05
  done
  wait "$client_pid" || rc=$?
  client_pid=
  return "$rc"
}

# 1. The proxy from MP3.ini: http in absolute form and https through
#    CONNECT, both byte-exact, each under the proxy's user.
write_ini "$(proxy_with "$encoded")"
fetch plain "$http_url" --blocks 3 || fail "http through the proxy failed"
cmp "$run/plain.mp3" "$library_file" || fail "http through the proxy differs"
fetch tunnel "$https_url" --blocks 3 || fail "https through the proxy failed"
cmp "$run/tunnel.mp3" "$library_file" || fail "https through the proxy differs"
for _ in $(seq 1 50); do grep -q "CONNECT songs.test" "$sq/access.log" 2>/dev/null && break; sleep 0.1; done
grep -q "GET $http_url $user " "$sq/access.log" || fail "squid's log shows no request of $user in absolute form"
grep -q "CONNECT songs.test:$nginx_port2 $user " "$sq/access.log" || fail "squid's log shows no tunnel of $user"

# 2. The same proxy from http_proxy and https_proxy, as a shell sets them.
write_ini ""
http_proxy=$(proxy_with "$encoded") https_proxy=$(proxy_with "$encoded") fetch env "$https_url" --blocks 2 ||
  fail "https through the proxy of the environment failed"
cmp "$run/env.mp3" "$library_file" || fail "https through the proxy of the environment differs"

# 3. Killed part-way: what the job keeps on disk names no password.
write_ini "$(proxy_with "$encoded")"
private=$run/tmp/virelomp3-$(id -u)
"$cli" fetch "$https_url" "$run/killed.mp3" --blocks 3 2>"$run/killed.log" &
client_pid=$!
for _ in $(seq 1 400); do
  compgen -G "$private/killed.mp3.job.hpt" >/dev/null && compgen -G "$private/killed.mp3-*.hpt" >/dev/null && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.05
done
kill_client
compgen -G "$private/killed.mp3*" >/dev/null || fail "the killed fetch kept nothing to look at"
cp -r "$run/tmp" "$run/kept"

# 4. A wrong password: the proxy's refusal, for http and for CONNECT.
write_ini "$(proxy_with "not-$encoded")"
for kind in http https; do
  url=$http_url
  [ "$kind" = https ] && url=$https_url
  if fetch "refused-$kind" "$url" --blocks 2; then fail "a wrong password was let through ($kind)"; fi
  grep -q "代理服务器拒绝了请求: HTTP/1.1 407 Proxy Authentication Required" "$run/refused-$kind.log" ||
    fail "the refusal did not say the proxy refused ($kind)"
  [ ! -e "$run/refused-$kind.mp3" ] || fail "a refused fetch left a file ($kind)"
done

# 5. The password in none of its forms anywhere but MP3.ini and the proxy's
#    own password file.
[ -s "$run/ps.txt" ] || fail "no process arguments were read"
found=$(grep -rlaF -e "$password" -e "$encoded" -e "$basic" "$run" --exclude=MP3.ini --exclude=passwd || true)
[ -z "$found" ] || fail "the password shows in: $found"
if grep -q 'auth=[^-]' "$run/nginx/access.log"; then fail "the origin server was sent the proxy's credentials"; fi
grep -q '^https GET /song.mp3' "$run/nginx/access.log" || fail "no request came through the tunnel"
echo "ok: squid with basic authentication carried http and https byte-exact; a wrong password was refused with its status line; the password showed nowhere"
