#!/usr/bin/env bash
# The shipped data agree with each other: category pages link demo songs
# that exist, in the form the view understands; MP3.ini and the pages are
# GBK-clean; the default settings point at the bundled engine and carry the
# version the update host publishes.
# usage: DemoData.sh REPO
set -euo pipefail
repo=$1
errors=0
fail() { echo "FAIL: $*" >&2; errors=$((errors + 1)); }

mapfile -t demo < <("$repo/tools/make-demo-library" --list)
[ ${#demo[@]} -ge 10 ] || fail "only ${#demo[@]} demo songs"
is_demo() { local n; for n in "${demo[@]}"; do [ "$n" = "$1" ] && return 0; done; return 1; }

for page in A rm lx mz xy ys yw kk; do
  f="$repo/res/html/$page.htm"
  [ -f "$f" ] || { fail "$page.htm missing"; continue; }
  iconv -f UTF-8 -t GBK "$f" > /dev/null 2>&1 || fail "$page.htm has text GBK cannot hold"
  grep -qi 'charset=gbk' "$f" || fail "$page.htm does not declare GBK"
done

for page in A rm lx mz xy ys yw; do
  f="$repo/res/html/$page.htm"
  links=$(grep -o 'href="[^"]*"' "$f" | sed 's/^href="//; s/"$//')
  count=0
  while IFS= read -r href; do
    [ -n "$href" ] || continue
    case $href in
      http://127.0.0.1:18317/song\?word=*) ;;
      *) fail "$page.htm: song link outside the bundled server: $href"; continue ;;
    esac
    case $href in *' '*) fail "$page.htm: raw blank in $href" ;; esac
    name=${href#*word=}
    name=${name//%20/ }
    name=${name//+/ }
    is_demo "$name" || fail "$page.htm links '$name', which is no demo song"
    count=$((count + 1))
  done <<<"$links"
  [ $count -gt 0 ] || fail "$page.htm has no song links"
done

for n in "${demo[@]}"; do
  grep -q ">$n</a>" "$repo/res/html/A.htm" || fail "A.htm does not list $n"
done

kk="$repo/res/html/kk.htm"
grep -q 'word=' "$kk" && fail "the news page carries song links"
grep -q 'href="[a-z]*\.htm"' "$kk" || fail "the news page links no local page"
grep -q 'href="http://127.0.0.1:18317/' "$kk" || fail "the news page links no page of the bundled server"

ini="$repo/res/MP3.ini"
iconv -f UTF-8 -t GBK "$ini" > /dev/null 2>&1 || fail "MP3.ini has text GBK cannot hold"
value() {  # section key
  awk -v s="[$1]" -v k="$2" '
    /^\[/ { cur = $0; next }
    cur == s { i = index($0, "="); if (i && substr($0, 1, i - 1) == k) { print substr($0, i + 1); exit } }' "$ini"
}
[ "$(value Enginee CurSel)" = 1 ] || fail "Enginee CurSel is not 1"
[ "$(value Enginee Count)" = 1 ] || fail "Enginee Count is not 1"
engine=$(value Enginee Enginee1)
[ "$(printf '%s' "$engine" | iconv -f UTF-8 -t GBK | wc -c)" -le 19 ] || fail "engine name longer than 19 GBK bytes"
[ "$(value FileType CurSel)" = .MP3 ] || fail "FileType CurSel is not .MP3"
[ "$(value FileType Count)" = 3 ] || fail "FileType Count is not 3"
for i in 1 2 3; do
  ext=$(value FileType "ExtName$i")
  head=$(value "$ext" Enginee1_head)
  lower=$(echo "${ext#.}" | tr 'A-Z' 'a-z')
  [ "$head" = "http://127.0.0.1:18317/cgi-bin/music/$lower.cgi?_searchkey=" ] || fail "$ext head is '$head'"
  [ ${#head} -le 99 ] || fail "$ext head longer than 99"
done
[ "$(value Size MinSize)" = 1 ] || fail "MinSize is not 1"
blocks=$(value Size Blocks)
[ "$blocks" -ge 1 ] && [ "$blocks" -le 5 ] || fail "Blocks $blocks outside 1..5"
[ "$(value Update Version)" = 2.0 ] || fail "installed version is not 2.0"
grep -q 'VERSION=2.0' "$repo/tools/make-demo-library" || fail "the demo root does not publish 2.0"
grep -q 'VERSION=2.0' "$repo/server/MusicServer.cpp" || fail "the server does not publish 2.0 by default"

grep -q '^Movie1=banners/banner1.gif$' "$repo/res/Movie.ini" || fail "Movie.ini Movie1"
grep -q '^Movie2=banners/banner2.gif$' "$repo/res/Movie.ini" || fail "Movie.ini Movie2"

# The songs tools/run downloads without a display must exist.
for n in $(sed -n 's/^demo_songs=(\(.*\))$/\1/p' "$repo/tools/run" | tr -d '"'); do
  is_demo "$n" || fail "tools/run downloads '$n', which is no demo song"
done

[ $errors -eq 0 ] || exit 1
echo "ok: ${#demo[@]} demo songs, pages and settings agree"
