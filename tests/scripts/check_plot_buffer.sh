#!/usr/bin/env bash
# plot_buffer.py on a few drift test lines (as ctest prints them, old and new form) and on
# health readings with a garbage line among them: each must give a PNG file.
#
#   check_plot_buffer.sh <plot_buffer.py> <python3 with matplotlib>
set -euo pipefail
SCRIPT=$1 PYTHON=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > "$WORK/drift.log" <<'LOG'
12: drift: no real-time priority for the feeder; a busy machine may disturb it
12: drift,+500,0.0,500.0,500.0,0,0,0
12: drift,+500,5.0,462.1,471.3,2400,0,0
12: drift,+500,10.0,488.0,490.2,2400,0,1
12: drift,-500,0.0,500.0,500.0,0,0,0
12: drift,-500,5.0,541.7,530.0,0,2400,0
12: drift phase -500 ppm: level 480.0..560.0 ms, 1 corrections
LOG
printf 'drift,+500,0.0,500.0,500.0\ndrift,+500,5.0,470.0,480.0\n' > "$WORK/old-drift.log"
cat > "$WORK/health.jsonl" <<'LOG'
{"time":1765190000,"buffer_ms":480,"target_ms":500,"underruns":0,"duplicated_frames":0,"dropped_frames":0,"lost_packets":0,"reconnects":0,"stream_age_s":1}
{"time":1765190001,"buffer_ms":12,"target_ms":500,"underruns":1,"duplicated_frames":2400,"dropped_frames":0,"lost_packets":0,"reconnects":0,"stream_age_s":2}
not a health line
{"time":1765190002,"buffer_ms":505,"target_ms":500,"underruns":1,"duplicated_frames":2400,"dropped_frames":2400,"lost_packets":2,"reconnects":1,"stream_age_s":3}
LOG

is_png() { [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ]; }
"$PYTHON" "$SCRIPT" drift "$WORK/drift.log" -o "$WORK/drift.png" > /dev/null || fail "drift"
is_png "$WORK/drift.png" || fail "drift picture is no PNG"
"$PYTHON" "$SCRIPT" --accuracy 100 drift "$WORK/old-drift.log" -o "$WORK/old.png" > /dev/null || fail "old drift lines"
is_png "$WORK/old.png" || fail "old drift picture is no PNG"
"$PYTHON" "$SCRIPT" health "$WORK/health.jsonl" -o "$WORK/health.png" > /dev/null || fail "health"
is_png "$WORK/health.png" || fail "health picture is no PNG"
# A live file sampled for a moment: the readings are kept and drawn.
tail -1 "$WORK/health.jsonl" > "$WORK/status.health"
"$PYTHON" "$SCRIPT" sample "$WORK/status.health" --seconds 1 --interval 0.2 --log "$WORK/live.jsonl" \
  -o "$WORK/live.png" > /dev/null || fail "sample"
is_png "$WORK/live.png" || fail "live picture is no PNG"
[ "$(wc -l < "$WORK/live.jsonl")" -ge 3 ] || fail "too few live readings kept"
if "$PYTHON" "$SCRIPT" drift "$WORK/health.jsonl" -o "$WORK/none.png" 2> /dev/null; then
  fail "a log without level lines gave a picture"
fi
echo "plot_buffer: drift lines, health readings and a live file each gave a PNG"
