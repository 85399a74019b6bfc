# The https rows of bench/run, sourced by it: the same nginx serves the
# same files over TLS on a second port, with a certificate from an
# authority made for this run; each tool is told to trust that authority
# and nothing else (verification stays on for all of them).
#
#   tls_prepare   before nginx starts: the CA (TLS_CA), the certificate,
#                 TLS_PORT and the server block for nginx (TLS_SERVER)
#   tls_rows      the measurements, after nginx is up
#   tls_md        the section of RESULTS.md

tls_prepare() {
  TLS_DIR=$work/tls
  mkdir -p "$TLS_DIR"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=bench CA" \
    -keyout "$TLS_DIR/ca.key" -out "$TLS_DIR/ca.pem" 2>>"$TLS_DIR/openssl.log"
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >"$TLS_DIR/ext"
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$TLS_DIR/server.key" -out "$TLS_DIR/server.csr" 2>>"$TLS_DIR/openssl.log"
  openssl x509 -req -days 2 -in "$TLS_DIR/server.csr" -CA "$TLS_DIR/ca.pem" -CAkey "$TLS_DIR/ca.key" \
    -CAcreateserial -extfile "$TLS_DIR/ext" -out "$TLS_DIR/server.pem" 2>>"$TLS_DIR/openssl.log"
  TLS_CA=$TLS_DIR/ca.pem
  TLS_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  # nginx's usual choices for a file server on TLS: a shared session cache,
  # so block connections can resume the first one's session.
  TLS_SERVER="server {
    listen 127.0.0.1:$TLS_PORT ssl;
    ssl_certificate $TLS_DIR/server.pem;
    ssl_certificate_key $TLS_DIR/server.key;
    ssl_session_cache shared:bench:1m;
    location /limited/ { alias $work/www/; limit_rate $RATE; }
    location /free/ { alias $work/www/; }
  }"
}

# tls_parallel_floor N: N curls at once, each on its own block range, no
# merge: what the server's pacing of N TLS streams at a time allows.
declare -A TLS_PAR
tls_parallel_floor() {
  local n=$1 len=${LEN[f64]} q walls=() i
  q=$((len / n))
  for ((i = 0; i < RUNS; i++)); do
    walls+=("$(run_timed bash -c '
      n=$1 q=$2 len=$3 url=$4 ca=$5 out=$6
      for ((b = 0; b < n; b++)); do
        last=$(((b + 1) * q - 1)); [ "$b" = $((n - 1)) ] && last=$((len - 1))
        curl -s --cacert "$ca" -o "$out.$b" -r "$((b * q))-$last" "$url" &
      done
      wait' _ "$n" "$q" "$len" "https://127.0.0.1:$TLS_PORT/limited/f64.bin" "$TLS_CA" "$work/dl/par" | cut -d' ' -f1)")
    rm -f "$work/dl"/par.*
  done
  TLS_PAR[$n]=$(printf '%s\n' "${walls[@]}" | median)
  echo "  $n curls at once over https: ${TLS_PAR[$n]}" >&2
}

tls_rows() {
  local tbase=https://127.0.0.1:$TLS_PORT n tool
  echo "bench: https, rate-limited ($RATE per connection) and unlimited, 64 MiB" >&2
  for n in 4 8; do
    for tool in virelomp3 aria2c; do
      MBASE=$tbase/limited measure "$tool" "$n" f64 tls-limited
    done
    FBASE=$tbase FKEY="|tls" floor f64 "$n"
    tls_parallel_floor "$n"
  done
  # The requests of virelomp3's unlimited runs on new connections (full
  # handshake) and on resumed sessions, from nginx's log.
  local before
  before=$(wc -l <"$work/logs/access.log")
  MBASE=$tbase/free measure virelomp3 4 f64 tls-free
  TLS_REUSE=$(tail -n +"$((before + 1))" "$work/logs/access.log" | awk -v runs="$RUNS" '
    $NF == "r" { r++ } $NF == "." { f++ } END { printf "%.1f full, %.1f resumed", f / runs, r / runs }')
  MBASE=$tbase/free measure aria2c 4 f64 tls-free
  MBASE=$tbase/free measure curl 1 f64 tls-free
}

tls_md() {
  local n tool v
  echo "## https, 64 MiB"
  echo
  echo "The same files from the same nginx over TLS, with a certificate from an authority made for the run that"
  echo "every tool is told to trust; none skips verification. axel is left out: its name check refuses every"
  echo "certificate here (by address or by name), and it would have to run with verification off."
  echo
  echo "| limit | N | tool | wall s | peak RSS MiB | CPU s | vs floor / MiB/s |"
  echo "|---|---|---|---|---|---|---|"
  for n in 4 8; do
    for tool in virelomp3 aria2c; do
      v=${RES["$tool|$n|f64|tls-limited"]:-}
      [ -z "$v" ] && continue
      echo "| $RATE | $n | $tool $(cell "$tool|$n|f64|tls-limited") | $(pct "${v%% *}" "${FLOOR["f64|$n|tls"]:-nan}") |"
    done
    echo "| $RATE | $n | floor (curl, largest block alone) | ${FLOOR["f64|$n|tls"]:-nan} | | | |"
    echo "| $RATE | $n | $n curls at once, one block each | ${TLS_PAR[$n]:-nan} | | | $(pct "${TLS_PAR[$n]:-nan}" "${FLOOR["f64|$n|tls"]:-nan}") |"
  done
  for k in "virelomp3|4" "aria2c|4" "curl|1"; do
    tool=${k%|*}; n=${k#*|}
    v=${RES["$tool|$n|f64|tls-free"]:-}
    [ -z "$v" ] && continue
    echo "| none | $n | $tool $(cell "$tool|$n|f64|tls-free") | $(rate_of "${LEN[f64]}" "${v%% *}") |"
  done
  local mine=${RES["virelomp3|4|f64|tls-free"]:-nan} theirs=${RES["curl|1|f64|tls-free"]:-nan}
  echo
  echo "Unlimited: virelomp3 at N = 4 reaches $(awk -v a="${mine%% *}" -v b="${theirs%% *}" 'BEGIN{ if (a=="nan"||b=="nan"||a==0) print "n/a"; else printf "%.0f %%", b/a*100 }') of curl's https throughput."
  echo "Requests of one unlimited virelomp3 run, by how their connection began (nginx's \`\$ssl_session_reused\`;"
  echo "a connection that carries more than one request counts each): ${TLS_REUSE:-n/a}."
}
