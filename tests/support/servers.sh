# Sourced by the shell tests that start real servers: free ports, private
# nginx, squid and supysonic instances, and a certificate authority made at
# test time. Everything listens on 127.0.0.1 (nginx also on [::1] when asked)
# and lives under a folder the caller owns and removes.
#
#   . tests/support/servers.sh
#   needs nginx openssl          # exit 77 (skipped) when one is missing
#   private_run "$work"          # $run, removed with every server on exit
#   nginx_up "$run/nginx" nginx "server { listen 127.0.0.1:@PORT@; ... }" || fail "nginx did not start"
pids=()
client_pid=  # a program under test that may be left running: killed on exit

needs() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null || { echo "skipped: $t missing"; exit 77; }
  done
}

# private_run WORK: run, a fresh folder under WORK for everything of this
# run; on exit client_pid is killed, every server stopped, the folder removed.
private_run() {
  mkdir -p "$1"
  run=$(mktemp -d "$1/run.XXXXXX")
  chmod 755 "$run"
  trap _end_run EXIT
}
_end_run() {
  if [ -n "$client_pid" ]; then kill -9 "$client_pid" 2>/dev/null || true; fi
  stop_all
  rm -rf "$run"
}

# demo_song REPO WORK TITLE: a demo song made once under WORK; sets
# library_file and size.
demo_song() {
  mkdir -p "$2"
  "$1/tools/make-demo-library" "$2/library" "$3" >/dev/null
  library_file="$2/library/songs/$3.mp3"
  size=$(stat -c %s "$library_file")
}

# serve_song: RUN/www/song.mp3, the demo song, readable by every server,
# and RUN/tmp, private, for the program's TMPDIR.
serve_song() {
  mkdir -p "$run/www" "$run/tmp"
  chmod 700 "$run/tmp"
  cp "$library_file" "$run/www/song.mp3"
  chmod -R a+rX "$run/www"
}

# kill_client: SIGKILL to the program under test, and its end waited for.
kill_client() {
  kill -9 "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  client_pid=
}

# fail TEXT: says why, shows the end of every log of the run, exits 1.
fail() {
  local l
  echo "FAIL: $*" >&2
  while IFS= read -r l; do
    echo "== $l" >&2
    tail -n 20 "$l" >&2
  done < <(find "$run" -name '*.log' -size +0 2>/dev/null | sort)
  exit 1
}

stop() {  # pid: ends one process of ours, if it still runs
  if [ -n "${1:-}" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}

stop_all() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

wait_port() {  # host port pid: until the port answers, while pid lives (10 s at most)
  local _
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# A free port can be taken by another test before our process binds it:
# the listener must be the process just started.
ours() {  # port pid
  ss -Hltnp "sport = :$1" 2>/dev/null | grep -q "pid=$2,"
}

# on_free_port START: runs `START port` (which starts one process in the
# background) until its listener is up on a port of its own; sets got_port
# and got_pid, and adds the pid to pids.
on_free_port() {
  local _
  for _ in 1 2 3 4 5; do
    got_port=$(free_port)
    "$1" "$got_port"
    got_pid=$!
    if wait_port 127.0.0.1 "$got_port" "$got_pid" && ours "$got_port" "$got_pid"; then
      pids+=("$got_pid")
      return 0
    fi
    stop "$got_pid"
  done
  return 1
}

# --- certificates -----------------------------------------------------------
# make_ca DIR [NAME]: DIR/ca.pem and DIR/ca.key, valid two days.
make_ca() {
  mkdir -p "$1"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=${2:-Test CA}" -keyout "$1/ca.key" -out "$1/ca.pem" 2>>"$1/openssl.log"
}

# issue_cert DIR NAME SAN: DIR/NAME.pem and DIR/NAME.key signed by DIR's CA,
# for the subjectAltName list SAN ("DNS:a,IP:127.0.0.1").
issue_cert() {
  local dir=$1 name=$2
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\n' "$3" > "$dir/$name.ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$name" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>>"$dir/openssl.log"
  openssl x509 -req -days 2 -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>>"$dir/openssl.log"
  chmod -R a+rX "$dir"
}

# --- nginx ------------------------------------------------------------------
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

# nginx_conf PREFIX NAME BODY: PREFIX/NAME.conf, a private config (pid, logs
# and temp folders under PREFIX), BODY inside its http block.
nginx_conf() {
  local prefix=$1 name=$2
  mkdir -p "$prefix/tmp"
  cat > "$prefix/$name.conf" <<CONF
daemon off;
worker_processes 1;
pid $prefix/$name.pid;
error_log $prefix/error.log warn;
events { worker_connections 64; }
http {
  client_body_temp_path $prefix/tmp/body;
  proxy_temp_path $prefix/tmp/proxy;
  fastcgi_temp_path $prefix/tmp/fastcgi;
  uwsgi_temp_path $prefix/tmp/uwsgi;
  scgi_temp_path $prefix/tmp/scgi;
$3
}
CONF
}

# nginx_start PREFIX NAME PORT: starts PREFIX/NAME.conf, whose first listener
# is 127.0.0.1:PORT; sets nginx_pid and adds it to pids; fails when nginx
# did not come up there.
nginx_start() {
  "$NGINX" -p "$1" -c "$1/$2.conf" -e "$1/error.log" 2>>"$1/start.log" &
  nginx_pid=$!
  if wait_port 127.0.0.1 "$3" "$nginx_pid" && ours "$3" "$nginx_pid"; then
    pids+=("$nginx_pid")
    return 0
  fi
  stop "$nginx_pid"
  return 1
}

# nginx_up PREFIX NAME BODY: nginx_conf and nginx_start on free ports, as
# many times as it takes (five at most): in BODY, @PORT@ stands for the
# first listener's port and @PORT2@ for a second one. Sets nginx_port and
# nginx_port2.
nginx_up() {
  local _ body
  for _ in 1 2 3 4 5; do
    nginx_port=$(free_port)
    nginx_port2=$(free_port)
    body=${3//@PORT@/$nginx_port}
    nginx_conf "$1" "$2" "${body//@PORT2@/$nginx_port2}"
    nginx_start "$1" "$2" "$nginx_port" && return 0
  done
  return 1
}

# --- squid ------------------------------------------------------------------
SQUID=$(command -v squid || echo /usr/sbin/squid)

# squid_start DIR PORT RULES: a private squid on 127.0.0.1:PORT that knows
# the names in DIR/hosts (created empty when missing) and asks no DNS
# server, caches nothing and logs to DIR/access.log; RULES are its access
# lines. Sets squid_pid and adds it to pids.
squid_start() {
  local dir=$1 port=$2
  mkdir -p "$dir"
  chmod 777 "$dir"
  [ -f "$dir/hosts" ] || : > "$dir/hosts"
  cat > "$dir/squid.conf" <<CONF
http_port 127.0.0.1:$port
$3
hosts_file $dir/hosts
dns_nameservers 127.0.0.1
cache deny all
access_log stdio:$dir/access.log
cache_log $dir/cache.log
pid_filename $dir/squid.pid
coredump_dir $dir
shutdown_lifetime 0 seconds
CONF
  "$SQUID" -N -f "$dir/squid.conf" 2>>"$dir/start.log" &
  squid_pid=$!
  if wait_port 127.0.0.1 "$port" "$squid_pid"; then
    pids+=("$squid_pid")
    return 0
  fi
  stop "$squid_pid"
  return 1
}

# --- supysonic --------------------------------------------------------------
# tone_library DIR BASE_HZ STEP_HZ "title:seconds"...: one MP3 a title,
# DIR/song<i>.mp3, a sine of BASE_HZ + i * STEP_HZ, tagged with its title.
# Kept between runs: making them is the slow part.
tone_library() {
  local lib=$1 base=$2 step=$3 i=0 entry f
  shift 3
  mkdir -p "$lib"
  for entry in "$@"; do
    f=$lib/song$i.mp3
    if [ ! -s "$f" ]; then
      sox -n -r 44100 -c 2 "$lib/tone$i.wav" synth "${entry##*:}" sine $((base + step * i))
      lame --quiet -b 128 --tt "${entry%:*}" --ta "Artist $i" "$lib/tone$i.wav" "$f.part"
      rm -f "$lib/tone$i.wav"
      mv "$f.part" "$f"
    fi
    i=$((i + 1))
  done
  chmod -R a+rX "$lib"
}

# supysonic_setup SRV LIB USER PASSWORD: the server's own private world in
# SRV (config, database, HOME and TMPDIR), one user, LIB scanned.
supysonic_setup() {
  local srv=$1
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
  in_supysonic "$srv" supysonic-cli user add "$3" -p "$4" >"$srv/setup.log" 2>&1 &&
    in_supysonic "$srv" supysonic-cli folder add lib "$2" >>"$srv/setup.log" 2>&1 &&
    in_supysonic "$srv" supysonic-cli folder scan --foreground lib >>"$srv/setup.log" 2>&1
}

in_supysonic() {  # srv command...
  local srv=$1
  shift
  (cd "$srv" && HOME=$srv/home TMPDIR=$srv/tmp "$@")
}

# supysonic_start SRV: on a free port of its own; sets supysonic_port.
supysonic_start() {
  supysonic_srv=$1
  on_free_port _supysonic_on || return 1
  supysonic_port=$got_port
}
# One subshell that becomes the server, so that $! is the listener's pid.
_supysonic_on() {
  (cd "$supysonic_srv" && HOME=$supysonic_srv/home TMPDIR=$supysonic_srv/tmp \
    exec supysonic-server -S waitress -h 127.0.0.1 -p "$1") >"$supysonic_srv/server.log" 2>&1 &
}
