#!/usr/bin/env bash
# The whole road on the real binaries: virelomp3-cli get, with a program
# directory like dist/ and the bundled server on a free port, downloads
# three demo songs by name, byte-exact, and probing picks the fast mirror
# over the slow one listed before it.
# usage: EndToEnd.sh CLI SERVER REPO WORKDIR   (exit 77: skipped)
set -euo pipefail
cli=$1 server=$2 repo=$3 work=$4
songs=("春天的小河" "星空下的约定" "雨后彩虹")
for tool in espeak-ng sox lame iconv; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done

mkdir -p "$work"
# The library is kept between runs: making it is the slow part.
"$repo/tools/make-demo-library" "$work/library" "${songs[@]}" >/dev/null
# The demo's paced mirrors are for people watching; this test keeps its own.
printf '[slow]\nLatencyMs=300\nRateKBps=256\n\n[fast]\n\n[hop]\nRedirectTo=songs\n\n[flaky]\nLatencyMs=20\nDropAfterBytes=200000\n' \
  > "$work/library/mirrors.ini"

run=$(mktemp -d "$work/run.XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$run"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$run/server.log" ] && tail -n 40 "$run/server.log" >&2; exit 1; }

"$server" --root "$work/library" --port 0 --log "$run/server.log" > "$run/server.out" &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(grep -o '127\.0\.0\.1:[0-9]*' "$run/server.out" 2>/dev/null | head -n 1 | cut -d: -f2 || true)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "server did not report its port"

home=$run/home
mkdir -p "$home/已下载" "$run/tmp"
chmod 700 "$run/tmp"
# The shipped settings, pointed at this server's port.
sed "s/127\.0\.0\.1:18317/127.0.0.1:$port/g; s/\r\$//; s/\$/\r/" "$repo/res/MP3.ini" | iconv -f UTF-8 -t GBK > "$home/MP3.ini"

names=$(IFS=';'; echo "${songs[*]}")
VIRELOMP3_HOME=$home TMPDIR=$run/tmp/ timeout 120 "$cli" get --no-update-check "$names" > "$run/cli.out" 2>&1 ||
  { cat "$run/cli.out" >&2; fail "virelomp3-cli get failed"; }

for song in "${songs[@]}"; do
  cmp "$home/已下载/$song.mp3" "$work/library/songs/$song.mp3" || fail "$song differs from the library"
done

# As the server writes links: unreserved bytes as they are, the rest %XX.
encode_path() {
  local LC_ALL=C s=$1 out="" c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    case $c in
      [A-Za-z0-9._~-]) out+=$c ;;
      *) out+=$(printf '%%%02X' "'$c") ;;
    esac
  done
  printf '%s' "$out"
}

# Probing: each song's slow mirror was tried, and no block was fetched from it.
for song in "${songs[@]}"; do
  path=$(encode_path "$song.mp3")
  grep -q "GET /mirror/slow/$path range=- " "$run/server.log" || fail "$song: the slow mirror was never probed"
  grep -q "GET /mirror/fast/$path range=bytes=" "$run/server.log" || fail "$song: no block came from the fast mirror"
  if grep -q "GET /mirror/slow/$path range=bytes=" "$run/server.log"; then
    fail "$song: blocks were fetched from the slow mirror"
  fi
done
echo "ok: ${songs[*]} downloaded byte-exact through the fast mirror"
