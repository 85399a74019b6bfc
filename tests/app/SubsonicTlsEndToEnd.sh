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
export PATH=/usr/bin:/bin:/usr/sbin:/sbin  # the server runs on the system Python only
for tool in supysonic-cli supysonic-server sox lame iconv python3 cmp openssl nginx; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done
/usr/bin/python3 -c 'import waitress' 2>/dev/null || { echo "skipped: python3-waitress missing"; exit 77; }

titles=("夜来香" "Blue Moon")
seconds=(70 220)
password='tls pw'

lib=$work/library
mkdir -p "$lib"
for i in 0 1; do
  f=$lib/song$i.mp3
  [ -s "$f" ] && continue
  sox -n -r 44100 -c 2 "$work/tone$i.wav" synth "${seconds[$i]}" sine $((350 + 90 * i))
  lame --quiet -b 128 --tt "${titles[$i]}" --ta "Artist $i" "$work/tone$i.wav" "$f.part"
  rm -f "$work/tone$i.wav"
  mv "$f.part" "$f"
done
chmod -R a+rX "$lib"

run=$(mktemp -d "$work/run.XXXXXX")
chmod 755 "$run"
server_pid= nginx_pid= get_pid=
stop() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  if [ -n "$get_pid" ]; then kill -9 "$get_pid" 2>/dev/null || true; fi
  stop "$nginx_pid"
  stop "$server_pid"
  rm -rf "$run"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for l in "$run"/*.log "$run"/nginx/*.log; do [ -f "$l" ] && { echo "== $l" >&2; tail -n 30 "$l" >&2; }; done
  exit 1
}

# An authority of our own and a certificate for the loopback address.
certs=$run/certs
mkdir -p "$certs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj '/CN=home music authority' -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>"$run/openssl.log"
printf 'basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n' > "$certs/srv.ext"
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=127.0.0.1' \
  -keyout "$certs/srv.key" -out "$certs/srv.csr" 2>>"$run/openssl.log"
openssl x509 -req -days 2 -in "$certs/srv.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
  -extfile "$certs/srv.ext" -out "$certs/srv.pem" 2>>"$run/openssl.log"

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
ours() { ss -Hltnp "sport = :$1" 2>/dev/null | grep -q "pid=$2,"; }
start_server() {
  (cd "$srv" && HOME=$srv/home TMPDIR=$srv/tmp exec supysonic-server -S waitress -h 127.0.0.1 -p "$1") \
    >"$run/server.log" 2>&1 &
}
for _ in 1 2 3 4 5; do
  port=$(free_port)
  start_server "$port"
  server_pid=$!
  if wait_port "$port" "$server_pid" && ours "$port" "$server_pid"; then break; fi
  stop "$server_pid"
  server_pid=
done
[ -n "$server_pid" ] || fail "the music server did not start"

# nginx: TLS in front of the server, downloads slowed so one can be caught
# half-way; /trap/ sends the calls on to plain http, credentials and all;
# a plain listener records whatever reaches it.
ng=$run/nginx
mkdir -p "$ng/tmp"
start_nginx() {
  local tls=$1 plain=$2
  cat > "$ng/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $ng/nginx.pid;
error_log $ng/error.log warn;
events { worker_connections 64; }
http {
  log_format full '\$scheme \$request \$status \$body_bytes_sent';
  client_body_temp_path $ng/tmp/body;
  proxy_temp_path $ng/tmp/proxy;
  fastcgi_temp_path $ng/tmp/fastcgi;
  uwsgi_temp_path $ng/tmp/uwsgi;
  scgi_temp_path $ng/tmp/scgi;
  server {
    listen 127.0.0.1:$tls ssl;
    ssl_certificate $certs/srv.pem;
    ssl_certificate_key $certs/srv.key;
    access_log $ng/tls.log full;
    location /trap/ { return 302 http://127.0.0.1:$plain/rest/\$uri?\$args; }
    location /rest/download.view { proxy_pass http://127.0.0.1:$port; limit_rate 150k; }
    location / { proxy_pass http://127.0.0.1:$port; }
  }
  server {
    listen 127.0.0.1:$plain;
    access_log $ng/plain.log full;
    location / { return 404; }
  }
}
CONF
  nginx -p "$ng" -c "$ng/nginx.conf" -e "$ng/error.log" 2>>"$ng/start.log" &
  nginx_pid=$!
  wait_port "$tls" "$nginx_pid" && ours "$tls" "$nginx_pid"
}
for _ in 1 2 3 4 5; do
  tls=$(free_port) plain=$(free_port)
  if start_nginx "$tls" "$plain"; then break; fi
  stop "$nginx_pid"
  nginx_pid=
done
[ -n "$nginx_pid" ] || fail "nginx did not start"

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
downloading() { compgen -G "$run/tmp/*-[0-9]*.hpt" >/dev/null; }
"$cli" get --no-update-check --no-server "${titles[1]}" >"$run/get2.log" 2>&1 &
get_pid=$!
for _ in $(seq 1 600); do
  downloading && break
  kill -0 "$get_pid" 2>/dev/null || break
  sleep 0.05
done
sleep 1  # a part of the song at the limited rate
kill -9 "$get_pid" 2>/dev/null || true
wait "$get_pid" 2>/dev/null || true
get_pid=
[ ! -f "$home/已下载/${titles[1]}.MP3" ] || fail "the download finished before the kill"
kept=$(ls "$run/tmp"/*.hpt 2>/dev/null | wc -l)
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
