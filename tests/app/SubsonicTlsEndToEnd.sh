#!/usr/bin/env bash
# virelomp3-cli against a music server published the usual way: supysonic
# behind nginx with TLS, its certificate from an authority made here and
# trusted only through MP3.ini's CAFile. A song found by its Chinese title
# comes down byte-exact over https; a second, killed half-way, resumes from
# its block files; every request reaches the server encrypted; and a server
# that redirects its calls to plain http gets no credentials there.
# usage: SubsonicTlsEndToEnd.sh CLI WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 work=$2
. "$(dirname "$0")/../support/servers.sh"
export PATH=/usr/bin:/bin:/usr/sbin:/sbin  # the server runs on the system Python only
needs supysonic-cli supysonic-server sox lame iconv python3 cmp openssl nginx
/usr/bin/python3 -c 'import waitress' 2>/dev/null || { echo "skipped: python3-waitress missing"; exit 77; }

titles=("夜来香" "Blue Moon")
password='tls pw'
lib=$work/library
tone_library "$lib" 350 90 "${titles[0]}:70" "${titles[1]}:220"

private_run "$work"

# An authority of our own and a certificate for the loopback address.
certs=$run/certs
make_ca "$certs" "home music authority"
issue_cert "$certs" srv "IP:127.0.0.1,DNS:localhost"

supysonic_setup "$run/server" "$lib" listener "$password" || fail "the music server's setup"
supysonic_start "$run/server" || fail "the music server did not start"
port=$supysonic_port

# nginx: TLS in front of the server, downloads slowed so one can be caught
# half-way; /trap/ sends the calls on to plain http, credentials and all;
# a plain listener records whatever reaches it.
ng=$run/nginx
nginx_up "$ng" nginx "
  log_format full '\$scheme \$request \$status \$body_bytes_sent';
  server {
    listen 127.0.0.1:@PORT@ ssl;
    ssl_certificate $certs/srv.pem;
    ssl_certificate_key $certs/srv.key;
    access_log $ng/tls.log full;
    location /trap/ { return 302 http://127.0.0.1:@PORT2@/rest/\$uri?\$args; }
    location /rest/download.view { proxy_pass http://127.0.0.1:$port; limit_rate 150k; }
    location / { proxy_pass http://127.0.0.1:$port; }
  }
  server {
    listen 127.0.0.1:@PORT2@;
    access_log $ng/plain.log full;
    location / { return 404; }
  }" || fail "nginx did not start"
tls=$nginx_port

home=$run/home
mkdir -p "$home/已下载" "$run/tmp"
chmod 700 "$run/tmp"
cp "$certs/ca.pem" "$home/home-ca.pem"
write_ini() {
  printf '%s\r\n' "[FileType]" "CurSel=.MP3" "Count=1" "ExtName1=.MP3" \
    "[Enginee]" "CurSel=1" "Count=1" "Enginee1=我的音乐库" \
    "Enginee1_server=$1" "Enginee1_user=listener" "Enginee1_password=$password" \
    "[Size]" "MinSize=0.5" "MaxSize=20" "Blocks=3" "[Speed]" "CheckSpeed=0" \
    "[Network]" "Proxy=none" "CAFile=home-ca.pem" |
    iconv -f UTF-8 -t GBK > "$home/MP3.ini"
}
export VIRELOMP3_HOME=$home TMPDIR=$run/tmp/
unset SSL_CERT_FILE SSL_CERT_DIR

# 1. A server that redirects its calls to plain http: the search fails
#    and nothing, credentials least of all, reaches the plain listener.
write_ini "https://127.0.0.1:$tls/trap"
timeout 60 "$cli" search --tsv --no-server "${titles[0]}" >"$run/trap.log" 2>&1 || true
grep -q "GET /trap/" "$ng/tls.log" || fail "the search never asked the server"
[ ! -s "$ng/plain.log" ] || fail "a call went on to plain http: $(cat "$ng/plain.log")"

# 2. A song by its Chinese title, over https end to end.
write_ini "https://127.0.0.1:$tls"
timeout 150 "$cli" get --no-update-check --no-server "${titles[0]}" >"$run/get1.log" 2>&1 ||
  fail "virelomp3-cli get failed"
cmp "$home/已下载/${titles[0]}.MP3" "$lib/song0.mp3" || fail "${titles[0]} differs from the library"
grep -q "GET /rest/search3.view" "$ng/tls.log" || fail "no search through TLS"
grep -q "GET /rest/download.view" "$ng/tls.log" || fail "no download through TLS"

# 3. The second, killed half-way, then resumed from its block files.
size=$(stat -c %s "$lib/song1.mp3")
# Block files may be laid out at full size at once: that they exist says
# the blocks have started, and the rate limit does the rest.
downloading() { compgen -G "$run/tmp/virelomp3-$(id -u)/*-[0-9]*.hpt" >/dev/null; }
"$cli" get --no-update-check --no-server "${titles[1]}" >"$run/get2.log" 2>&1 &
client_pid=$!
for _ in $(seq 1 600); do
  downloading && break
  kill -0 "$client_pid" 2>/dev/null || break
  sleep 0.05
done
sleep 1  # a part of the song at the limited rate
kill_client
[ ! -f "$home/已下载/${titles[1]}.MP3" ] || fail "the download finished before the kill"
kept=$(ls "$run/tmp/virelomp3-$(id -u)"/*.hpt 2>/dev/null | wc -l)
[ "$kept" -gt 0 ] || fail "no block files were kept"
grep -aq "https://127.0.0.1:$tls/rest/download.view?id=" "$home/downing.dat" || fail "downing.dat lacks the https link"
for form in "$password" "enc:" "&t=" "&p=" "u=listener"; do
  if grep -aqF -- "$form" "$home/downing.dat"; then fail "downing.dat holds '$form'"; fi
done

sent_before=$(awk 'index($3, "/rest/download.view") == 1 { s += $6 } END { print s + 0 }' "$ng/tls.log")
timeout 150 "$cli" get --no-update-check --no-server "${titles[1]}" >"$run/get3.log" 2>&1 || fail "the resumed get failed"
cmp "$home/已下载/${titles[1]}.MP3" "$lib/song1.mp3" || fail "${titles[1]} differs after the resume"
sleep 0.2  # nginx logs a request once it has ended
sent_after=$(awk 'index($3, "/rest/download.view") == 1 { s += $6 } END { print s + 0 }' "$ng/tls.log")
moved=$((sent_after - sent_before))
[ "$moved" -lt "$size" ] || fail "the resumed get moved $moved bytes, the whole file is $size"
[ ! -s "$ng/plain.log" ] || fail "something reached the plain listener"
echo "ok: https search and download byte-exact; resume kept $kept files and moved $moved of $size bytes"
