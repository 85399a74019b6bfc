#!/usr/bin/env bash
# The installed layout without installing: the package unpacked into a
# temporary root, its virelomp3-cli run with a fresh HOME and neither
# VIRELOMP3_HOME nor XDG_DATA_HOME. The program directory must appear under
# HOME/.local/share, the bundled server must be started on demand (and end
# with the program), the song must arrive byte-exact, nothing may be written
# beside the executable, and a second run must keep an edited MP3.ini.
# It runs in a network namespace of its own when it can, so the built-in
# port is free whatever else runs on this machine.
# usage: InstalledLayout.sh PACKAGE-DIR WORKDIR   (exit 77: skipped)
set -euo pipefail
export LC_ALL=C  # the settings are GBK: bytes, not characters
pkgdir=$1 work=$2
port=18317

if [ -z "${VIRELOMP3_IN_NETNS:-}" ] && command -v unshare >/dev/null &&
  unshare -rn true 2>/dev/null; then
  exec env VIRELOMP3_IN_NETNS=1 unshare -rn bash "$0" "$@"
fi
if [ -n "${VIRELOMP3_IN_NETNS:-}" ]; then
  ip link set lo up 2>/dev/null || { echo "skipped: no loopback in the private network namespace"; exit 77; }
fi

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
if answers; then
  echo "skipped: something already answers on 127.0.0.1:$port and no private network namespace is possible"
  exit 77
fi

shopt -s nullglob
debs=("$pkgdir"/virelomp3_*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one package in $pkgdir, found ${#debs[@]}" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/root" "$work/home" "$work/tmp"
chmod 700 "$work/tmp"
dpkg-deb -x "${debs[0]}" "$work/root"
root=$work/root home=$work/home
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/cli*.out "$work/tmp/virelomp3-$(id -u)/server.log"; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 30 "$f" >&2; }; done
  exit 1
}

cli() {  # cli ARGS...: virelomp3-cli as a user with nothing but a HOME
  env -i HOME="$home" PATH=/usr/bin:/bin TMPDIR="$work/tmp" LANG=C.UTF-8 \
    timeout 180 "$root/usr/bin/virelomp3-cli" "$@"
}
run_cli() {  # run_cli OUT SONG
  cli get --idle-timeout 60 "$2" > "$1" 2>&1 || fail "virelomp3-cli get $2 failed"
}

song1=春天的小河 song2=星空下的约定
library=$root/usr/share/virelomp3/server-root/songs
dir=$home/.local/share/virelomp3

run_cli "$work/cli1.out" "$song1"
[ -d "$dir" ] || fail "no program directory under HOME/.local/share"
for f in MP3.ini Movie.ini html/A.htm html/kk.htm banners/banner1.gif; do
  cmp -s "$dir/$f" "$root/usr/share/virelomp3/$f" || fail "$f was not seeded from the data folder"
done
cmp "$dir/已下载/$song1.mp3" "$library/$song1.mp3" || fail "$song1 is not byte-exact"
grep -q "GET /cgi-bin/music/mp3.cgi" "$work/tmp/virelomp3-$(id -u)/server.log" || fail "the bundled server never saw the search"
answers && fail "the bundled server outlived the program"
leftovers=$(ls -A "$root/usr/bin" | grep -vxE 'virelomp3|virelomp3-cli|virelomp3-server|virelomp3-update' || true)
[ -z "$leftovers" ] || fail "written beside the executable: $leftovers"

# The console's search starts it as well, and ends it with itself.
cli search --tsv 海边的风 > "$work/search.out" 2>&1 || fail "search through the bundled server failed"
[ -s "$work/search.out" ] || fail "search printed no candidates"
answers && fail "the bundled server outlived the search"

# The user edits the settings; an older version number stands in for an
# upgrade. Only the version key may change on the next start.
ini=$dir/MP3.ini
sed -i 's/^Blocks=[0-9]*\r$/Blocks=2\r/; s/^Version=[^\r]*\r$/Version=1.0\r/' "$ini"
printf '; my note\r\n' >> "$ini"
version=$(iconv -f GBK -t UTF-8 "$root/usr/share/virelomp3/MP3.ini" | sed -n 's/^Version=\([^\r]*\)\r$/\1/p')
expected=$(sed "s/^Version=1.0\r\$/Version=$version\r/" "$ini")
echo "my own page" > "$dir/html/A.htm"

run_cli "$work/cli2.out" "$song2"
cmp "$dir/已下载/$song2.mp3" "$library/$song2.mp3" || fail "$song2 is not byte-exact"
[ "$(cat "$ini")" = "$expected" ] || fail "the edited MP3.ini was changed beyond its version: $(diff <(echo "$expected") "$ini")"
[ "$(cat "$dir/html/A.htm")" = "my own page" ] || fail "an edited page was overwritten"
cmp -s "$dir/已下载/$song1.mp3" "$library/$song1.mp3" || fail "the first song was touched"
answers && fail "the bundled server outlived the second run"
# Without the server nothing is started: the search finds no engine.
requests=$(wc -l < "$work/tmp/virelomp3-$(id -u)/server.log")
song3=雨后彩虹
status=0
cli get --no-server --idle-timeout 60 "$song3" > "$work/cli3.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "get --no-server without an engine ended with $status, not 1"
[ ! -e "$dir/已下载/$song3.mp3" ] || fail "a song arrived without an engine"
[ "$(wc -l < "$work/tmp/virelomp3-$(id -u)/server.log")" -eq "$requests" ] || fail "--no-server still started the server"
answers && fail "--no-server left a server answering"
echo "ok: installed layout under HOME/.local/share, server started on demand, songs byte-exact, edits kept"
