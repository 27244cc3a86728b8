# SPDX-License-Identifier: GPL-3.0-or-later
# JACK helpers shared by scripts/run and scripts/try; sourced, not run.
#
# Every JACK program is started through "${jack_prefix[@]}": empty for the
# system's libjack (JACK 2, or PipeWire's where it replaces the library), or
# pw-jack where PipeWire serves JACK programs only through that wrapper.
# A server started here takes its name from JACK_DEFAULT_SERVER, as every
# client does, so a private name keeps a run apart from other servers.

jack_prefix=()
jackd_pid=""
jackd_log=""

# A server that is stopped or hung never answers, and jack_lsp would wait for
# it for ever.
jack_answers() {
  JACK_NO_START_SERVER=1 timeout 10 "${jack_prefix[@]}" jack_lsp >/dev/null 2>&1
}

pipewire_running() {
  local dir="${PIPEWIRE_RUNTIME_DIR:-${XDG_RUNTIME_DIR:-}}"
  [ -n "$dir" ] && [ -S "$dir/${PIPEWIRE_REMOTE:-pipewire-0}" ]
}

# Finds a JACK server that answers and sets jack_prefix for it.
find_jack() {
  jack_prefix=()
  jack_answers && return 0
  if pipewire_running && command -v pw-jack >/dev/null; then
    jack_prefix=(pw-jack)
    jack_answers && return 0
    jack_prefix=()
  fi
  return 1
}

# Whether the server that answers is PipeWire (through pw-jack, or through
# its libjack installed in place of JACK 2's).
jack_is_pipewire() {
  [ "${jack_prefix[*]}" = pw-jack ] || ldd "$(command -v jack_lsp)" 2>/dev/null | grep -q pipewire
}

# What the server that answers is, for messages.
jack_kind() {
  if jack_is_pipewire; then
    echo "PipeWire's JACK server"
  else
    echo "the JACK server${JACK_DEFAULT_SERVER:+ \"$JACK_DEFAULT_SERVER\"}"
  fi
}

# Starts jackd with the given driver arguments (after -d), logging to a file
# named after the server, and waits until it answers. VLX_JACKD_OPTIONS go
# before -d (-r: without realtime scheduling). Sets jackd_pid and jackd_log;
# on failure prints what jackd said and what to do about it, and returns 1.
start_jackd() {
  jackd_log="${TMPDIR:-/tmp}/vlxarp-jackd-${JACK_DEFAULT_SERVER:-default}.log"
  local options=()
  read -r -a options <<<"${VLX_JACKD_OPTIONS:-}"
  # Its own session: Ctrl+C in the terminal reaches only the script, which
  # stops the server after the clients that use it.
  setsid jackd "${options[@]}" -d "$@" >"$jackd_log" 2>&1 </dev/null &
  jackd_pid=$!
  jack_prefix=()
  for _ in $(seq 100); do
    sleep 0.1
    # Dead already, it is not asked: a hung server of the same name would
    # keep the question waiting.
    kill -0 "$jackd_pid" 2>/dev/null || break
    # A server that answers while this one has died is another one of the
    # same name that came up meanwhile: this start failed all the same.
    if jack_answers && kill -0 "$jackd_pid" 2>/dev/null; then
      if jackd_realtime_refused "$jackd_log"; then
        echo "The JACK server runs, but without realtime scheduling; under load its sound"
        echo "may drop out and notes come late. It said:"
        jackd_log_reasons "$jackd_log" | grep -iE "$jackd_realtime_pattern|cannot lock down" | sed 's/^/  /'
        jackd_realtime_advice running
      fi
      return 0
    fi
  done
  # Stopped first: its banner, on a buffered stdout, reaches the log last.
  stop_jackd
  {
    echo "The JACK server did not start. It said (the whole log: $jackd_log):"
    jackd_log_reasons "$jackd_log" | head -n 12 | sed 's/^/  /'
    jackd_advice "$jackd_log"
  } >&2
  return 1
}

# The lines of jackd's log that say what went wrong: its banner, the lines
# every start prints and repeated lines are left out. jackd writes its errors
# unbuffered and the banner buffered, so the reason may come first or last.
jackd_log_reasons() {
  awk '
    /^jackd(mp)? [0-9]/ || /^Copyright / || /comes with ABSOLUTELY NO WARRANTY/ { next }
    /^This is free software, and you are welcome/ || /^under certain conditions; see the file COPYING/ { next }
    /^JACK server starting in / || /^self-connect-mode is / || /^creating alsa driver / { next }
    /^JACK compiled with / || /^no message buffer overruns/ || /^Jack main caught signal/ { next }
    /^[[:space:]]*$/ { next }
    !seen[$0]++' "$1"
}

# JACK 2 runs on without realtime scheduling when refused it, JACK 1 stops.
# Memory that cannot be locked is worth no word alone: jackd tries to lock it
# without realtime too.
jackd_realtime_pattern='real-?time scheduling|AcquireSelfRealTime|cannot create thread.*not permitted'
jackd_realtime_refused() {
  grep -qiE "$jackd_realtime_pattern" "$1"
}

# How to get realtime scheduling, as Debian's jackd2 package sets it up;
# $1 is "running" when the server runs without it.
jackd_realtime_advice() {
  echo "For realtime scheduling, the group audio needs the right to it (rtprio and memlock in"
  echo "/etc/security/limits.d/audio.conf, which Debian's jackd2 package writes when asked),"
  echo "and you need to be in that group:"
  echo "  sudo dpkg-reconfigure jackd2          (answer Yes to realtime process priority)"
  echo "  sudo usermod -aG audio \"\$USER\"       then log out and in again"
  if [ "${1:-}" != running ]; then
    echo "Or start the server without it: VLX_JACKD_OPTIONS=-r $0"
  fi
}

# What to do about the common causes of a server that did not start, from
# its log ($1).
jackd_advice() {
  local log="$1" name="${JACK_DEFAULT_SERVER:-default}"
  if grep -q 'server already active' "$log"; then
    echo "A JACK server named \"$name\" runs already. One that does not answer is stopped or"
    echo "hung: \`pgrep -a jackd\` shows it; kill -CONT PID lets it go on, kill PID ends it."
    echo "Or give this run a server of another name: JACK_DEFAULT_SERVER=vlxarp $0"
  fi
  if jackd_realtime_refused "$log"; then
    jackd_realtime_advice
  fi
  if grep -qiE 'Device or resource busy|cannot be acquired|Failed to acquire device' "$log"; then
    echo "Another program holds the sound card, most often PulseAudio or PipeWire. With PipeWire,"
    echo "use its JACK server (sudo apt-get install pipewire-jack); or end that program; or"
    echo "pick another card (aplay -l lists them; scripts/try takes VLX_CARD=hw:N)."
  elif grep -qiE 'Cannot get card index|control open .*No such file' "$log"; then
    echo "There is no such sound card: aplay -l lists them (scripts/try takes VLX_CARD=hw:N)."
  fi
}

stop_jackd() {
  stop_pid "$jackd_pid"
  jackd_pid=""
}

# Ends one process this script started: SIGTERM, then SIGKILL after a grace.
stop_pid() {
  local pid="$1" grace="${2:-5}"
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq $((grace * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Every port as "name<TAB>flags<TAB>type", e.g.
#   system:playback_1	input,physical,terminal,	32 bit float mono audio
jack_ports() {
  "${jack_prefix[@]}" jack_lsp -p -t 2>/dev/null | awk '
    /^[^ \t]/ { if (name != "") print name "\t" props "\t" type; name = $0; props = ""; type = ""; next }
    /properties:/ { sub(/^[ \t]*properties: */, ""); props = $0; next }
    { sub(/^[ \t]*/, ""); type = $0 }
    END { if (name != "") print name "\t" props "\t" type }'
}

# Hardware MIDI inputs: keyboards on JACK's own MIDI driver, bridged by
# a2jmidid or by PipeWire. ALSA's "Midi Through" port is not a keyboard.
keyboard_ports() {
  jack_ports | awk -F '\t' '$2 ~ /output/ && $2 ~ /physical/ && $3 ~ /midi/ && $1 !~ /Midi Through/ { print $1 }'
}

# The loudspeakers.
playback_ports() {
  jack_ports | awk -F '\t' '$2 ~ /input/ && $2 ~ /physical/ && $3 ~ /audio/ { print $1 }'
}

# Waits up to $2 seconds for a port matching the extended regex $1 and prints
# the first one found.
wait_for_port() {
  local pattern="$1" seconds="$2" found
  for _ in $(seq $((seconds * 10))); do
    found="$("${jack_prefix[@]}" jack_lsp 2>/dev/null | grep -E -m1 "$pattern" || true)"
    if [ -n "$found" ]; then
      echo "$found"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

jack_connect_ports() {
  "${jack_prefix[@]}" jack_connect "$1" "$2" >/dev/null 2>&1
}
