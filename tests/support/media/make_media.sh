#!/bin/sh
# Generates the short test media set into <outdir> (created if missing).
# Usage: make_media.sh <outdir>
# Environment: HEAAC_ENCODER=<path of the heaac_encoder tool>; without it the HE-AAC file is
# skipped. HEAAC_RUNNER may name a program that runs it (an emulator in a cross build). FFMPEG
# may name another ffmpeg binary.
#
# Files (tones are sine waves at half of full scale):
#   tone_440_44100_stereo.wav   2.0 s  440 Hz  44100 Hz stereo  16-bit PCM reference
#   tone_440_44100_stereo.mp3   2.0 s  440 Hz  44100 Hz stereo  MP3 128 kbit/s
#   tone_880_44100_stereo.mp3   2.0 s  880 Hz  44100 Hz stereo  MP3 (a second track, same format)
#   tone_1000_22050_mono.mp3    2.0 s 1000 Hz  22050 Hz mono    MP3 64 kbit/s
#   tone_440_48000_stereo.mp3   2.0 s  440 Hz  48000 Hz stereo  MP3 128 kbit/s
#   tone_440_44100_stereo.mp2   2.0 s  440 Hz  44100 Hz stereo  MPEG-1 layer II
#   tone_440_44100_stereo.aac   2.0 s  440 Hz  44100 Hz stereo  AAC-LC in ADTS
#   tone_440_48000_stereo.aac   2.0 s  440 Hz  48000 Hz stereo  AAC-LC in ADTS
#   tone_440_44100_stereo.m4a   2.0 s  440 Hz  44100 Hz stereo  AAC-LC in M4A
#   tone_1000_22050_mono.aac    2.0 s 1000 Hz  22050 Hz mono    AAC-LC in ADTS
#   tone_440_44100_stereo_he.aac 2.0 s 440 Hz  44100 Hz stereo  HE-AAC (SBR) in ADTS
#   change_44100s_22050m.mp3    1.0 s 440 Hz 44100 Hz stereo, then 1.0 s 1000 Hz 22050 Hz mono
#   change_44100s_22050m.aac    the same change as AAC-LC in ADTS
#   silence_44100_stereo.mp3    1.0 s of silence, 44100 Hz stereo
#   tone_440_48000_stereo.opus  2.0 s  440 Hz  48000 Hz stereo  Opus 96 kbit/s in Ogg
#   tone_440_44100_stereo.ogg   2.0 s  440 Hz  44100 Hz stereo  Vorbis in Ogg
#   tone_440_44100_stereo.flac  2.0 s  440 Hz  44100 Hz stereo  FLAC, 16 bits
#   tone_1000_48000_mono_24.flac 2.0 s 1000 Hz 48000 Hz mono    FLAC, 24 bits
#   tone_440_48000_stereo.webm  2.0 s  440 Hz  48000 Hz stereo  Opus in WebM (Matroska)
#   tone_440_44100_stereo.wma   2.0 s  440 Hz  44100 Hz stereo  WMA 2 in ASF (no decoder takes it)
#   chained_titles.ogg          1.0 s 440 Hz titled "First part", then 1.0 s 880 Hz titled
#                               "Second part": two chained Vorbis streams, 44100 Hz stereo
set -eu

out=${1:?usage: make_media.sh <outdir>}
ffmpeg=${FFMPEG:-ffmpeg}
mkdir -p "$out"

tone() { # tone <freq> <rate> <channels> <seconds> <codec args...> <file>
    f=$1; r=$2; c=$3; s=$4; shift 4
    e="0.5*sin(2*PI*$f*t)"
    # one expression per channel: a mono source spread by -ac would be attenuated by 3 dB
    [ "$c" = 2 ] && e="$e|$e"
    "$ffmpeg" -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "aevalsrc=$e:s=$r:d=$s" \
        -ac "$c" -ar "$r" "$@"
}

# MP3 files carry neither ID3 tags nor a Xing frame so that they can be concatenated.
mp3() { tone "$@" -c:a libmp3lame -write_xing 0 -id3v2_version 0 -f mp3; }
adts() { tone "$@" -c:a aac -f adts; }

tone 440 44100 2 2 -c:a pcm_s16le "$out/tone_440_44100_stereo.wav"
mp3 440 44100 2 2 -b:a 128k "$out/tone_440_44100_stereo.mp3"
mp3 880 44100 2 2 -b:a 128k "$out/tone_880_44100_stereo.mp3"
mp3 1000 22050 1 2 -b:a 64k "$out/tone_1000_22050_mono.mp3"
mp3 440 48000 2 2 -b:a 128k "$out/tone_440_48000_stereo.mp3"
tone 440 44100 2 2 -c:a mp2 -b:a 192k -f mp2 "$out/tone_440_44100_stereo.mp2"
adts 440 44100 2 2 -b:a 128k "$out/tone_440_44100_stereo.aac"
adts 440 48000 2 2 -b:a 128k "$out/tone_440_48000_stereo.aac"
adts 1000 22050 1 2 -b:a 48k "$out/tone_1000_22050_mono.aac"
tone 440 44100 2 2 -c:a aac -b:a 128k -f ipod "$out/tone_440_44100_stereo.m4a"

mp3 440 44100 2 1 -b:a 128k "$out/.part1.mp3"
mp3 1000 22050 1 1 -b:a 64k "$out/.part2.mp3"
cat "$out/.part1.mp3" "$out/.part2.mp3" > "$out/change_44100s_22050m.mp3"
adts 440 44100 2 1 -b:a 128k "$out/.part1.aac"
adts 1000 22050 1 1 -b:a 48k "$out/.part2.aac"
cat "$out/.part1.aac" "$out/.part2.aac" > "$out/change_44100s_22050m.aac"
rm -f "$out/.part1.mp3" "$out/.part2.mp3" "$out/.part1.aac" "$out/.part2.aac"

"$ffmpeg" -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "anullsrc=r=44100:cl=stereo" -t 1 -c:a libmp3lame -write_xing 0 -id3v2_version 0 \
    -f mp3 "$out/silence_44100_stereo.mp3"

tone 440 48000 2 2 -c:a libopus -b:a 96k -f ogg "$out/tone_440_48000_stereo.opus"
tone 440 44100 2 2 -c:a libvorbis -q:a 4 -f ogg "$out/tone_440_44100_stereo.ogg"
tone 440 44100 2 2 -c:a flac -sample_fmt s16 -f flac "$out/tone_440_44100_stereo.flac"
tone 1000 48000 1 2 -c:a flac -sample_fmt s32 -f flac "$out/tone_1000_48000_mono_24.flac"
tone 440 48000 2 2 -c:a libopus -b:a 96k -f webm "$out/tone_440_48000_stereo.webm"
tone 440 44100 2 2 -c:a wmav2 -b:a 128k -f asf "$out/tone_440_44100_stereo.wma"
tone 440 44100 2 1 -c:a libvorbis -q:a 4 -metadata "title=First part" -f ogg "$out/.part1.ogg"
tone 880 44100 2 1 -c:a libvorbis -q:a 4 -metadata "title=Second part" -f ogg "$out/.part2.ogg"
cat "$out/.part1.ogg" "$out/.part2.ogg" > "$out/chained_titles.ogg"
rm -f "$out/.part1.ogg" "$out/.part2.ogg"

if [ -n "${HEAAC_ENCODER:-}" ]; then
    # HEAAC_RUNNER (unquoted on purpose) is empty or the cross build's emulator.
    ${HEAAC_RUNNER:-} "$HEAAC_ENCODER" "$out/tone_440_44100_stereo_he.aac" 440 44100 2 2
else
    echo "make_media.sh: HEAAC_ENCODER not set, no HE-AAC file" >&2
fi
touch "$out/.complete"
