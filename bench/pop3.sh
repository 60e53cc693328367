#!/usr/bin/env bash
# POP3 retrieval benchmark against a private Dovecot on loopback (run as root).
#
#   bench/pop3.sh [BUILD_DIR]        (default build/; needs the target bench_pop3)
#
# Attachments are written under $PB_BENCH_SCRATCH (default: a new directory in /tmp); point it
# at a tmpfs directory such as /dev/shm to leave the disk out of the figure.
#
# 1. A mailbox of 1,000 mixed mails (scripts/make-mailbox, seed 1): every mail is retrieved
#    by bench_pop3 (TPop3Client, one connection, GetMailMessage per mail) and by curl (one
#    connection, every message), alternately, three rounds each; prints the median wall times
#    and their ratio.
# 2. A mailbox holding one mail with a 50 MB attachment: peak resident memory of bench_pop3
#    while it retrieves it (the attachment is decoded to disk).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
bench=$build/bin/bench_pop3
[[ -x $bench ]] || { echo "pop3.sh: build the target bench_pop3 first ($bench)" >&2; exit 2; }

dir=$(mktemp -d /tmp/pb-bench.XXXXXX)
scratch=$(mktemp -d "${PB_BENCH_SCRATCH:-/tmp}/pb-attach.XXXXXX")
trap '"$top/scripts/stop-servers" "$dir" >/dev/null 2>&1 || true; rm -rf "$dir" "$scratch"' EXIT
"$top/scripts/start-servers" --random-ports "$dir" >/dev/null
# shellcheck disable=SC1091
. "$dir/ports.env"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

"$top/scripts/make-mailbox" "$dir" 1000 1
curl -s -u "$POP3_USER:$POP3_PASS" "pop3://127.0.0.1:$POP3_PORT/" -o /dev/null   # warm the index

ours=() theirs=()
for round in 1 2 3; do
  line=$("$bench" 127.0.0.1 "$POP3_PORT" "$POP3_USER" "$POP3_PASS" "$scratch")
  echo "  postbridge round $round: $line"
  ours+=("$(sed -E 's/.*seconds ([0-9.]+).*/\1/' <<<"$line")")
  start=$(date +%s.%N)
  curl -s -u "$POP3_USER:$POP3_PASS" "pop3://127.0.0.1:$POP3_PORT/[1-1000]" -o /dev/null
  end=$(date +%s.%N)
  t=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}')
  echo "  curl       round $round: seconds $t"
  theirs+=("$t")
done
o=$(printf '%s\n' "${ours[@]}" | median)
c=$(printf '%s\n' "${theirs[@]}" | median)
awk -v o="$o" -v c="$c" 'BEGIN {printf "1,000 mails: TPop3Client %.3f s, curl %.3f s, ratio %.2f\n", o, c, o / c}'

"$top/scripts/make-mailbox" --big 50M "$dir" 0 1
line=$("$bench" 127.0.0.1 "$POP3_PORT" "$POP3_USER" "$POP3_PASS" "$scratch")
echo "  50 MB attachment: $line"
kib=$(sed -E 's/.*peak_kib ([0-9]+).*/\1/' <<<"$line")
awk -v k="$kib" 'BEGIN {printf "one mail with a 50 MB attachment: peak memory %.1f MB\n", k / 1024}'
