#!/usr/bin/env bash
# Runs quillon on a built-in demo: three short generated tracks in a temporary media folder,
# played on the virtual sound card. Stops by itself after QUILLON_DEMO_SECONDS (default 12)
# or on Ctrl-C, then says where the recording of what was played lies.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh

BUILD=$ROOT/build/normal
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$BUILD" -j"$(nproc)" --target quillon asound_module_pcm_vcard asound_module_ctl_vcard

DEMO=$(mktemp -d /tmp/quillon-demo.XXXXXX)
mkdir -p "$DEMO/media/demo" "$DEMO/card"
echo "demo: generating media in $DEMO/media/demo"
bash tests/support/media/make_media.sh "$DEMO/gen" > /dev/null
cp "$DEMO/gen/tone_440_44100_stereo.mp3" "$DEMO/media/demo/1-a440.mp3"
cp "$DEMO/gen/tone_880_44100_stereo.mp3" "$DEMO/media/demo/2-a880.mp3"
cp "$DEMO/gen/tone_1000_22050_mono.mp3" "$DEMO/media/demo/3-b1000-mono.mp3"
cat > "$DEMO/quillon.conf" <<CONF
volume=80
media_type=local
media_folder=demo
CONF

export QUILLON_CONF=$DEMO/quillon.conf
export QUILLON_MEDIA_ROOT=$DEMO/media/
export QUILLON_STATUS_FILE=$DEMO/status.json
export QUILLON_URL_DOWNLOAD=$DEMO/url-download
export ALSA_CONFIG_PATH=$BUILD/vcard/asound.conf
export VCARD_DIR=$DEMO/card
export VCARD_SPEED=${VCARD_SPEED:-1}

SECONDS_TO_RUN=${QUILLON_DEMO_SECONDS:-12}
echo "demo: playing for ${SECONDS_TO_RUN}s (Ctrl-C stops earlier)"
"$BUILD/app/quillon" &
PID=$!
trap 'kill -INT $PID 2>/dev/null || true' INT TERM
for _ in $(seq "$SECONDS_TO_RUN"); do
  kill -0 "$PID" 2>/dev/null || break
  sleep 1
done
kill -INT "$PID" 2>/dev/null || true
status=0
wait "$PID" || status=$?
trap - INT TERM

echo
echo "demo: quillon exited with status $status (2 means it was stopped by SIGINT)"
echo "demo: last status file: $(cat "$QUILLON_STATUS_FILE" 2>/dev/null || echo none)"
echo "demo: what the virtual sound card played (WAV files, one per device and format):"
ls -l "$VCARD_DIR"/*.wav
echo "demo: device events: $VCARD_DIR/events.log"
