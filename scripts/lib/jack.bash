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

jack_answers() {
  JACK_NO_START_SERVER=1 "${jack_prefix[@]}" jack_lsp >/dev/null 2>&1
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
# named after the server, and waits until it answers. Sets jackd_pid and
# jackd_log; on failure prints the log's end and returns 1.
start_jackd() {
  jackd_log="${TMPDIR:-/tmp}/vlxarp-jackd-${JACK_DEFAULT_SERVER:-default}.log"
  # Its own session: Ctrl+C in the terminal reaches only the script, which
  # stops the server after the clients that use it.
  setsid jackd -d "$@" >"$jackd_log" 2>&1 </dev/null &
  jackd_pid=$!
  jack_prefix=()
  for _ in $(seq 100); do
    jack_answers && return 0
    kill -0 "$jackd_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_jackd
  echo "The JACK server did not start; the end of its log ($jackd_log):" >&2
  tail -n 8 "$jackd_log" >&2
  return 1
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
