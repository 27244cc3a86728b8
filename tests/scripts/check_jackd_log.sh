#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What scripts/run and scripts/try say when a JACK server does not start (or
# starts without realtime scheduling), from logs jackd 1.9.21 wrote in real
# starts: the lines that say why, never the banner, and the advice for the
# causes the log shows and no other.
#
#   check_jackd_log.sh SOURCE_DIR
set -euo pipefail
source_dir="$1"
logs="$(dirname "$0")/jackd-logs"
# shellcheck source=/dev/null
source "$source_dir/scripts/lib/jack.bash"
export JACK_DEFAULT_SERVER=vlxdeb-live

status=0
fail() {
  echo "FAIL ($name): $*"
  status=1
}

# name | lines the reasons are, exactly (\n between) | advice must say | advice must not say
# | whether it counts as realtime refused
cases=(
  "already-active|\`vlxdeb-live' server already active\nFailed to open server|runs already|realtime|no"
  "no-card|ALSA lib confmisc.c:165:(snd_config_get_card) Cannot get card index for 7\ncontrol open \"hw:7\" (No such file or directory)\nALSA: Cannot open PCM device alsa_pcm for playback. Falling back to capture-only mode\nCannot initialize driver\nJackServer::Open failed with -1\nFailed to open server|no such sound card|runs already|no"
  "unknown-driver|Unknown driver \"nosuchdriver\"||sound card|no"
  "realtime-refused|Cannot lock down 107341340 byte memory area (Cannot allocate memory)\nCannot use real-time scheduling (RR/10) (1: Operation not permitted)\nAcquireSelfRealTime error|dpkg-reconfigure jackd2|runs already|yes"
  # Asked to run without realtime (-r), it still cannot lock its memory: no
  # reason to send anyone to the limits.
  "non-realtime|Cannot lock down 107341340 byte memory area (Cannot allocate memory)||realtime|no"
  "started|||realtime|no"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name reasons says says_not refused <<<"$row"
  log="$logs/$name.log"
  got="$(jackd_log_reasons "$log")"
  expected="$(printf '%b' "$reasons")"
  [ "$got" = "$expected" ] || fail "reasons:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
  grep -qE 'Copyright|ABSOLUTELY NO WARRANTY|^jackdmp' <<<"$got" && fail "the banner is among the reasons"

  advice="$(jackd_advice "$log")"
  if [ -n "$says" ]; then
    grep -qF -- "$says" <<<"$advice" || fail "the advice lacks '$says': $advice"
  else
    [ -z "$advice" ] || fail "advice where the log shows no known cause: $advice"
  fi
  if [ -n "$says_not" ] && grep -qF -- "$says_not" <<<"$advice"; then
    fail "the advice says '$says_not': $advice"
  fi
  if jackd_realtime_refused "$log"; then is_refused=yes; else is_refused=no; fi
  [ "$is_refused" = "$refused" ] || fail "realtime refused: $is_refused, expected $refused"
done
exit $status
