#!/usr/bin/env bash
# The busy-host case of bench/run (BUSY_ONLY=1 bench/run runs only this):
# six 1.5 MiB songs from one host that keeps two connections at a fixed
# rate each and answers any more "503" with "Retry-After: 1". virelomp3-cli
# fetches all six in one process (they share its limit per host), aria2c
# -j 6 -x 3 beside it on the same server. Writes the "## Busy host" section
# of OUT_MD (replacing the old one) and prints it.
#
#   CLI=/path/to/virelomp3-cli bench/busy.sh   # RUNS=3 BUSY_RATE=512k BUSY_K=2
#   CLI_BEFORE=/path/to/older/virelomp3-cli ... # its rows too, in the same run
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
RUNS=${RUNS:-3}
BUSY_RATE=${BUSY_RATE:-512k}
BUSY_K=${BUSY_K:-2}
OUT_MD=${OUT_MD:-$here/RESULTS.md}
[ -x "${CLI:-}" ] || { echo "busy: set CLI to virelomp3-cli (bench/run does)" >&2; exit 2; }
CLI_BEFORE=${CLI_BEFORE:-}
[ -z "$CLI_BEFORE" ] || [ -x "$CLI_BEFORE" ] || { echo "busy: CLI_BEFORE is not a program" >&2; exit 2; }
for t in aria2c python3 sha256sum awk; do
  command -v "$t" >/dev/null || { echo "busy: $t is missing (tools/deps installs it)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/virelomp3-busy-XXXXXX")
srv_pid=
cleanup() {
  if [ -n "$srv_pid" ] && kill -0 "$srv_pid" 2>/dev/null; then
    kill "$srv_pid" 2>/dev/null || true
    wait "$srv_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{www,dl,clitmp}
chmod 700 "$work/clitmp"

# Songs as bench/run makes them: random bytes behind an empty ID3 tag.
len=$((3 * 512 * 1024))
declare -A SUM
for i in 1 2 3 4 5 6; do
  { printf 'ID3\x03\x00\x00\x00\x00\x00\x00'; head -c $((len - 10)) /dev/urandom; } >"$work/www/s$i.mp3"
  SUM[$i]=$(sha256sum "$work/www/s$i.mp3" | cut -d' ' -f1)
done

log=$work/busy.log
"$here/uneven-server" --root "$work/www" --slow "$BUSY_RATE" --fast "$BUSY_RATE" --max-connections "$BUSY_K" \
  --log "$log" --port-file "$work/port" &
srv_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
base=http://127.0.0.1:$(cat "$work/port")
touch "$log"
rate=$(awk -v r="$BUSY_RATE" 'BEGIN{m=(r~/m$/)?1048576:((r~/k$/)?1024:1); sub(/[mk]$/,"",r); print r*m}')
# Every byte over the connections the host allows, plus one header round.
ideal=$(awk -v l="$len" -v k="$BUSY_K" -v r="$rate" 'BEGIN{printf "%.2f", 6 * l / (k * r)}')

median() { sort -g | awk '{a[NR]=$1} END{if(NR==0){print "nan"} else if(NR%2){print a[(NR+1)/2]} else {print (a[NR/2]+a[NR/2+1])/2}}'; }
declare -A WALL BUSY GETS OK
failures=0
# measure KEY CMD...: RUNS timed runs of one tool fetching all six into dl/.
measure() {
  local key=$1 i w b g ok walls=() busies=() gets=() oks=0
  shift
  for ((i = 0; i < RUNS; i++)); do
    rm -rf "$work/dl"/* "$work/dl"/.??* "$work/clitmp"/* 2>/dev/null || true
    # The server logs a connection once it sees it closed: wait for the
    # previous run's to be counted.
    sleep 1.5
    local before t0 t1 rc=0
    before=$(wc -l <"$log")
    t0=$(date +%s%N)
    "$@" >>"$work/tools.log" 2>&1 || rc=$?
    t1=$(date +%s%N)
    w=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.2f", (b-a)/1e9}')
    sleep 1.5
    b=$(tail -n +"$((before + 1))" "$log" | awk '$7 == 503 { n++ } END { print n + 0 }')
    g=$(tail -n +"$((before + 1))" "$log" | awk '$4 == "GET" && $7 != 503 { n++ } END { print n + 0 }')
    ok=1
    for j in 1 2 3 4 5 6; do
      [ "$(sha256sum "$work/dl/s$j.mp3" 2>/dev/null | cut -d' ' -f1)" = "${SUM[$j]}" ] || ok=0
    done
    if [ "$rc" != 0 ] || [ "$ok" != 1 ]; then
      echo "busy: $key run $i failed (exit $rc, all sha256 match: $ok)" >&2
      failures=$((failures + 1))
      w=nan
    else
      oks=$((oks + 1))
    fi
    echo "  $key run $i: ${w} s, 503s $b, GETs answered $g" >&2
    walls+=("$w"); busies+=("$b"); gets+=("$g")
  done
  WALL[$key]=$(printf '%s\n' "${walls[@]}" | median)
  BUSY[$key]=$(printf '%s\n' "${busies[@]}" | median)
  GETS[$key]=$(printf '%s\n' "${gets[@]}" | median)
  OK[$key]="$oks/$RUNS"
}

pairs=()
for j in 1 2 3 4 5 6; do pairs+=("$base/s$j.mp3" "$work/dl/s$j.mp3"); done
printf '%s\n  out=s%s.mp3\n' "$base/s1.mp3" 1 "$base/s2.mp3" 2 "$base/s3.mp3" 3 "$base/s4.mp3" 4 \
  "$base/s5.mp3" 5 "$base/s6.mp3" 6 >"$work/aria2.list"
echo "bench: busy host ($BUSY_K connections at $BUSY_RATE/s each, 503 beyond), six 1.5 MiB songs, $RUNS runs" >&2
keys=()
if [ -n "$CLI_BEFORE" ]; then
  measure before env TMPDIR="$work/clitmp" "$CLI_BEFORE" fetch "${pairs[@]}"
  measure before-hc env TMPDIR="$work/clitmp" "$CLI_BEFORE" fetch "${pairs[@]}" --host-connections "$BUSY_K"
  keys+=(before before-hc)
fi
measure virelomp3 env TMPDIR="$work/clitmp" "$CLI" fetch "${pairs[@]}"
measure virelomp3-hc env TMPDIR="$work/clitmp" "$CLI" fetch "${pairs[@]}" --host-connections "$BUSY_K"
keys+=(virelomp3 virelomp3-hc aria2c aria2c-retry)
measure aria2c aria2c -q -j 6 -x 3 -s 3 -k 1M --file-allocation=none --allow-overwrite=true \
  --auto-file-renaming=false --dir "$work/dl" -i "$work/aria2.list"
# aria2c gives a 503 up by default; told to wait and ask again, as we do.
measure aria2c-retry aria2c -q -j 6 -x 3 -s 3 -k 1M --file-allocation=none --allow-overwrite=true \
  --retry-wait=1 --max-tries=0 --auto-file-renaming=false --dir "$work/dl" -i "$work/aria2.list"

BEFORE_NAME=${BEFORE_NAME:-virelomp3-cli fetch, before}
section() {
  echo "## Busy host, six 1.5 MiB songs"
  echo
  echo "\`bench/uneven-server --max-connections $BUSY_K\`: at most $BUSY_K connections open at once, each sent at"
  echo "$BUSY_RATE/s; a connection beyond them is answered \"503\" with \"Retry-After: 1\" and closed. A"
  echo "connection counts until the server has seen it closed. All six songs in one run of each tool;"
  echo "median of $RUNS runs, every file's sha256 checked. Ideal: 9 MiB over $BUSY_K x $BUSY_RATE/s = $ideal s."
  echo
  echo "| tool | wall s | / ideal | 503s met | GETs answered | runs byte-exact |"
  echo "|---|---|---|---|---|---|"
  local k name
  for k in "${keys[@]}"; do
    case $k in
      before) name="$BEFORE_NAME (6 pairs, defaults)" ;;
      before-hc) name="$BEFORE_NAME (6 pairs, --host-connections $BUSY_K)" ;;
      virelomp3) name="virelomp3-cli fetch (6 pairs, defaults)" ;;
      virelomp3-hc) name="virelomp3-cli fetch (6 pairs, --host-connections $BUSY_K)" ;;
      aria2c) name="aria2c -j 6 -x 3 -s 3 -k 1M" ;;
      aria2c-retry) name="aria2c -j 6 -x 3 -s 3 -k 1M --retry-wait=1 --max-tries=0" ;;
    esac
    echo "| $name | ${WALL[$k]} | $(awk -v w="${WALL[$k]}" -v i="$ideal" 'BEGIN{ if (w=="nan") print "n/a"; else printf "%.2f", w/i }') | ${BUSY[$k]} | ${GETS[$k]} | ${OK[$k]} |"
  done
}
section >"$work/section.md"
cat "$work/section.md"
# Replace the old section (from its heading to the next "## ") or append.
if [ -f "$OUT_MD" ]; then
  awk -v new="$work/section.md" '
    /^## Busy host/ { skip = 1; while ((getline l < new) > 0) print l; print ""; done = 1; next }
    skip && /^## / { skip = 0 }
    !skip { print }
    END { if (!done) { print ""; while ((getline l < new) > 0) print l } }' "$OUT_MD" >"$work/out.md"
  cp "$work/out.md" "$OUT_MD"
else
  cp "$work/section.md" "$OUT_MD"
fi
echo "bench: wrote the busy-host section of $OUT_MD" >&2
[ "$failures" = 0 ]
