#!/usr/bin/env python3
"""Writes the seeds of fuzz_decoder_libav into tests/fuzz/corpus/fuzz_decoder_libav/.

Each seed is the first packets of a short tone made by the ffmpeg command line, in the
target's input layout: codec byte, channel byte, rate byte, 16-bit configuration length,
the configuration (the stream's extradata), then 16-bit length-prefixed packets. Packets
and extradata are read back with ffprobe. Run by hand when the layout changes.
"""

import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "fuzz_decoder_libav")
CODECS = ["opus", "vorbis", "flac", "alac", "pcm_s16le"]
RATES = [48000, 44100, 32000, 22050, 16000, 8000, 96000, 11025]
PACKETS = 12
SEED_BYTES = 8192

# (seed name, codec, rate, channels, ffmpeg encoder arguments, container)
SEEDS = [
    ("opus_48000_stereo", "opus", 48000, 2, ["-c:a", "libopus", "-b:a", "64k"], "ogg"),
    ("opus_48000_mono", "opus", 48000, 1, ["-c:a", "libopus", "-b:a", "32k"], "ogg"),
    ("vorbis_44100_stereo", "vorbis", 44100, 2, ["-c:a", "libvorbis", "-q:a", "2"], "ogg"),
    ("flac_44100_stereo", "flac", 44100, 2, ["-c:a", "flac", "-sample_fmt", "s16"], "flac"),
    ("flac_48000_mono_24", "flac", 48000, 1, ["-c:a", "flac", "-sample_fmt", "s32"], "flac"),
    ("alac_44100_stereo", "alac", 44100, 2, ["-c:a", "alac"], "ipod"),
]


def hexdump_bytes(text):
    """Bytes of an ffprobe hex dump ("00000000: 4f67 6753 ...  OggS")."""
    data = bytearray()
    for line in text.splitlines():
        if ":" not in line:
            continue
        words = line.split(":", 1)[1].strip().split("  ")[0]
        data += bytes.fromhex(words.replace(" ", ""))
    return bytes(data)


def probe(path, what):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", what, "-show_data",
                          "-of", "json", path], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def seed(folder, name, codec, rate, channels, args, container):
    path = os.path.join(folder, name + "." + container)
    expr = "0.5*sin(2*PI*440*t)" + ("|0.5*sin(2*PI*440*t)" if channels == 2 else "")
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", "aevalsrc=%s:s=%d:d=0.5" % (expr, rate), "-ac", str(channels)] + args +
                   ["-f", container, path], check=True)
    stream = probe(path, "-show_streams")["streams"][0]
    extradata = hexdump_bytes(stream.get("extradata", ""))
    packets = [hexdump_bytes(p["data"]) for p in probe(path, "-show_packets")["packets"][:PACKETS]]
    body = bytes([CODECS.index(codec), channels - 1, RATES.index(rate)])
    body += len(extradata).to_bytes(2, "big") + extradata
    for i, packet in enumerate(packets):
        # Small seeds mutate faster: stop near 8 KiB, but keep at least two packets.
        if i >= 2 and len(body) + len(packet) > SEED_BYTES:
            break
        body += len(packet).to_bytes(2, "big") + packet
    with open(os.path.join(OUT, name + ".bin"), "wb") as f:
        f.write(body)


def main():
    os.makedirs(OUT, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        for s in SEEDS:
            seed(folder, *s)
    return 0


if __name__ == "__main__":
    sys.exit(main())
