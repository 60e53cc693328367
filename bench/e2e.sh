#!/usr/bin/env bash
# Postbridge end to end beside the tools a user would pick instead (run as root).
#
#   bench/e2e.sh [BUILD_DIR] [SIZES...]     (default build/, sizes 1000 10000)
#
# Needs the targets edhost, bench_incoming and bench_outgoing in BUILD_DIR; installs fetchmail
# and getmail6 with apt-get when they are missing. Prints three tables:
#
# 1. Retrieval: for each size, a mailbox of that many mixed mails (scripts/make-mailbox, seed 1)
#    in a private Dovecot, fetched by
#      postbridge  "nur lesen" in the main window into a fresh edhost base (bench_incoming,
#                  which serves the very same mailbox from a Dovecot of its own)
#      curl        one connection, every message, to /dev/null
#      fetchmail   --keep --all, every mail handed to a discarding MDA (cat >/dev/null), no TLS
#      getmail6    every mail into a Maildir, kept on the server (run as nobody: it refuses
#                  to deliver as root)
#    Seconds, mails/s, MB/s (10^6 bytes as served), peak resident memory, time ratio to curl.
#    One round each, one after the other; the first login (Dovecot's index) is not timed.
# 2. Sending: 1,000 host messages sent by "nur senden" through the aiosmtpd sink, beside
#    Python's smtplib sending the same mail texts over one connection (bench_outgoing, 1 round).
# 3. Responsiveness: one mail with a 50 MB attachment fetched by "nur lesen": the longest gap
#    between two ticks of a 10 ms window timer, and the peak resident memory of the process
#    against what it held before the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
sizes=("$@")
((${#sizes[@]})) || sizes=(1000 10000)
for t in edhost bench_incoming bench_outgoing; do
  [[ -x $build/bin/$t ]] || { echo "e2e.sh: build the target $t first ($build/bin/$t)" >&2; exit 2; }
done
[[ $(id -u) -eq 0 ]] || { echo "e2e.sh: run as root (Dovecot)" >&2; exit 2; }

missing=()
command -v fetchmail >/dev/null || missing+=(fetchmail)
command -v getmail >/dev/null || missing+=(getmail6)
if ((${#missing[@]})); then
  echo "e2e.sh: installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

dir=$(mktemp -d /tmp/pb-e2e.XXXXXX)
chmod 755 "$dir"
work=$(mktemp -d /tmp/pb-e2e-work.XXXXXX)
trap '"$top/scripts/stop-servers" "$dir" >/dev/null 2>&1 || true; rm -rf "$dir" "$work"' EXIT
"$top/scripts/start-servers" --random-ports "$dir" >/dev/null
# shellcheck disable=SC1091
. "$dir/ports.env"

# "SECONDS PEAK_KIB" of one command, by GNU time.
measure() {
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >/dev/null 2>"$work/err" \
    || { echo "e2e.sh: failed: $*" >&2; tail -n 5 "$work/err" >&2; echo "failed 0"; return 0; }
  cat "$work/time"
}

cat >"$work/fetchmailrc" <<EOF
set no syslog
poll 127.0.0.1 protocol POP3 port $POP3_PORT auth password
  user "$POP3_USER" password "$POP3_PASS" sslproto '' mda "/bin/sh -c 'cat >/dev/null'"
EOF
chmod 600 "$work/fetchmailrc"
chmod 755 "$work"
mkdir -p "$work/getmail" "$work/Maildir"/{new,cur,tmp}
cat >"$work/getmail/getmailrc" <<EOF
[retriever]
type = SimplePOP3Retriever
server = 127.0.0.1
port = $POP3_PORT
username = $POP3_USER
password = $POP3_PASS

[destination]
type = Maildir
path = $work/Maildir/

[options]
read_all = true
delete = false
verbose = 0
message_log_syslog = false
EOF
# getmail6 refuses to deliver as root: it runs as nobody.
chown -R nobody:nogroup "$work/getmail" "$work/Maildir"

row() {  # TOOL SECONDS PEAK_KIB MAILS BYTES CURL_SECONDS
  [[ $2 == failed ]] && { printf '| %-10s | failed (see the messages above the tables) |\n' "$1"; return; }
  awk -v t="$1" -v s="$2" -v k="$3" -v n="$4" -v b="$5" -v c="$6" 'BEGIN {
    printf "| %-10s | %8.2f | %8.0f | %7.1f | %8.1f | %7.2f |\n", t, s, n / s, b / s / 1e6, k / 1024, s / c }'
}

results=()
for n in "${sizes[@]}"; do
  bytes=$("$top/scripts/make-mailbox" "$dir" "$n" 1 | awk '{print $3}')
  curl -s -u "$POP3_USER:$POP3_PASS" "pop3://127.0.0.1:$POP3_PORT/1" -o /dev/null   # builds the index

  read -r c_s c_k < <(measure curl -s -u "$POP3_USER:$POP3_PASS" "pop3://127.0.0.1:$POP3_PORT/[1-$n]" -o /dev/null)
  # A tool that fails is reported as such; the others are still measured.
  f_s=failed g_s=failed
  read -r f_s f_k < <(FETCHMAILHOME=$work measure fetchmail --fetchmailrc "$work/fetchmailrc" --keep --all \
                        --pidfile "$work/fetchmail.pid" --idfile "$work/fetchids" --nosyslog --silent)
  rm -rf "$work/Maildir"/{new,cur,tmp}/* "$work/getmail"/oldmail-*
  read -r g_s g_k < <(measure setpriv --reuid=nobody --regid=nogroup --clear-groups getmail --getmaildir "$work/getmail" --rcfile getmailrc --quiet)
  got=$(find "$work/Maildir/new" -type f | wc -l)
  [[ $got -eq $n ]] || echo "e2e.sh: getmail6 delivered $got of $n mails" >&2
  rm -rf "$work/Maildir"/{new,cur,tmp}/*

  line=$("$build/bin/bench_incoming" "$n" 1 | tail -n1)
  p_s=$(sed -E 's/.*mails: postbridge ([0-9.]+) s.*/\1/' <<<"$line")
  p_mb=$(sed -E 's/.*peak memory ([0-9.]+) MB.*/\1/' <<<"$line")
  p_c=$(sed -E 's/.*curl ([0-9.]+) s.*/\1/' <<<"$line")

  results+=("" "Retrieval of $n mails ($(awk -v b="$bytes" 'BEGIN {printf "%.1f", b / 1e6}') MB as served):" ""
            "| tool       |  seconds |  mails/s |    MB/s |  peak MB | x curl  |"
            "|------------|---------:|---------:|--------:|---------:|--------:|"
            "$(row postbridge "$p_s" "$(awk -v m="$p_mb" 'BEGIN {print m * 1024}')" "$n" "$bytes" "$p_c")"
            "$(row curl "$c_s" "$c_k" "$n" "$bytes" "$c_s")"
            "$(row fetchmail "$f_s" "$f_k" "$n" "$bytes" "$c_s")"
            "$(row getmail6 "$g_s" "$g_k" "$n" "$bytes" "$c_s")"
            ""
            "postbridge's ratio is to the curl run beside it in bench_incoming (curl there: ${p_c} s);"
            "its peak memory is that of the whole window process (Qt included).")
done

out=$("$build/bin/bench_outgoing" 1000 1 | tail -n1)
o_s=$(sed -E 's/.*postbridge ([0-9.]+) s.*/\1/' <<<"$out")
s_s=$(sed -E 's/.*smtplib ([0-9.]+) s.*/\1/' <<<"$out")
o_gap=$(sed -E 's/.*longest timer gap ([0-9.]+) ms.*/\1/' <<<"$out")
results+=("" "Sending 1,000 messages (about 5 KB each):" ""
          "| tool       |  seconds |  mails/s | x smtplib |"
          "|------------|---------:|---------:|----------:|"
          "$(awk -v s="$o_s" -v p="$s_s" 'BEGIN {printf "| postbridge | %8.2f | %8.0f | %9.2f |", s, 1000 / s, s / p}')"
          "$(awk -v p="$s_s" 'BEGIN {printf "| smtplib    | %8.2f | %8.0f | %9.2f |", p, 1000 / p, 1}')"
          "" "Longest gap of the window's event loop while sending: $o_gap ms")

big=$("$build/bin/bench_incoming" 0 1 50M | tail -n1)
b_s=$(sed -E 's/.*mails: postbridge ([0-9.]+) s.*/\1/' <<<"$big")
b_gap=$(sed -E 's/.*longest timer gap ([0-9.]+) ms.*/\1/' <<<"$big")
b_mb=$(sed -E 's/.*peak memory ([0-9.]+) MB.*/\1/' <<<"$big")
b_base=$(sed -E 's/.*MB \(([0-9.]+) MB before.*/\1/' <<<"$big")
results+=("" "Responsiveness: one mail with a 50 MB attachment by nur lesen:" ""
          "| seconds | longest event-loop gap | peak memory | before the run | growth |"
          "|--------:|-----------------------:|------------:|---------------:|-------:|"
          "$(awk -v s="$b_s" -v g="$b_gap" -v m="$b_mb" -v b="$b_base" 'BEGIN {
             printf "| %7.2f | %19.1f ms | %8.1f MB | %11.1f MB | %3.1f MB |", s, g, m, b, m - b }')")

printf '%s\n' "${results[@]}"
