#!/usr/bin/env bash
# The card through the stock command-line tools, with nothing but its environment set.
# Usage: cli_test.sh <asound.conf>
set -euo pipefail

conf=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ALSA_CONFIG_PATH=$conf VCARD_DIR=$work/card
unset VCARD_SPEED VCARD_PPM VCARD_POINTER VCARD_STALL VCARD_FAIL_OPEN VCARD_FAIL_START \
      VCARD_FORCE_RATE VCARD_NO_MIXER VCARD_SOFTVOL VCARD_FAIL_CLOSE VCARD_VANISH

fail() { echo "FAIL: $*" >&2; exit 1; }

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 2 sine 440

elapsed_ms() { # prints the milliseconds a command took
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || return 1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

# pacing: a 2 s file takes about 2 s at speed 1 and about 0.5 s at speed 4
t=$(VCARD_SPEED=1 elapsed_ms aplay -q -D channel1 "$work/tone.wav") || fail "aplay -D channel1"
[ "$t" -ge 1900 ] && [ "$t" -le 3500 ] || fail "speed 1 took $t ms"
t=$(VCARD_SPEED=4 elapsed_ms aplay -q -D channel2 "$work/tone.wav") || fail "aplay -D channel2"
[ "$t" -ge 450 ] && [ "$t" -le 1500 ] || fail "speed 4 took $t ms"
[ "$(soxi -r "$VCARD_DIR/channel1.wav")" = 44100 ] || fail "channel1.wav rate"
# aplay pads its last chunk with silence, so the recording is at least the file's length
[ "$(soxi -s "$VCARD_DIR/channel1.wav")" -ge 88200 ] || fail "channel1.wav length"

# plug:dmix converts to the fixed 48 kHz stereo device
VCARD_SPEED=unpaced aplay -q -D plug:dmix "$work/tone.wav" || fail "aplay -D plug:dmix"
[ "$(soxi -r "$VCARD_DIR/dmix.wav")" = 48000 ] || fail "dmix.wav rate"
VCARD_SPEED=unpaced aplay -q -D default "$work/tone.wav" || fail "aplay -D default"
[ -s "$VCARD_DIR/default.wav" ] || fail "default.wav missing"
grep -q " channel1 open rate=44100 channels=2 " "$VCARD_DIR/events.log" || fail "open event"
grep -q " channel1 drain " "$VCARD_DIR/events.log" || fail "drain event"

# a refused device makes aplay fail
if VCARD_FAIL_OPEN=channel3 aplay -q -D channel3 "$work/tone.wav" 2>/dev/null; then
    fail "aplay succeeded on a refused device"
fi

# mixer: dB set and read back, shared through the state file
amixer -q -D default sset chan_1 -- -20dB || fail "amixer sset"
amixer -D default sget chan_1 | grep -Eq '\[-(19|20)\.[0-9]+dB\]' || fail "amixer sget chan_1"
grep -qx "chan_1 213" "$VCARD_DIR/mixer.state" || fail "mixer.state: $(cat "$VCARD_DIR/mixer.state")"
amixer -q -D default sset Playback 50% || fail "amixer sset Playback"
amixer -D default sget Playback | grep -q "Playback 12[78] \[50%\]" || fail "amixer sget Playback"
VCARD_NO_MIXER=1 amixer -D default scontrols | grep -q chan_1 && fail "elements without mixer"

# softvol: amixer finds an element only once its PCM was opened since the state was made
rm -f "$VCARD_DIR/mixer.state"
if VCARD_SOFTVOL=1 amixer -D default sget chan_2 >/dev/null 2>&1; then
    fail "chan_2 exists before channel2 was opened"
fi
VCARD_SOFTVOL=1 VCARD_SPEED=unpaced aplay -q -D channel2 "$work/tone.wav" || fail "aplay -D channel2"
VCARD_SOFTVOL=1 amixer -D default sget chan_2 | grep -q "Playback 255 \[100%\]" ||
    fail "chan_2 after the open: $(VCARD_SOFTVOL=1 amixer -D default sget chan_2 2>&1)"
VCARD_SOFTVOL=1 amixer -D default scontrols | grep -q chan_1 && fail "chan_1 without an open"
echo "cli checks passed"
