#!/usr/bin/env python3
"""Writes the decoder fuzz targets' seeds from the test media set.

Usage: make_decoder_seeds.py <media dir> <corpus dir>
(<media dir> as written by tests/support/media/make_media.sh). Each seed holds the first
packets of one file as the targets read them: a 16-bit big-endian length and the bytes;
the AAC seeds begin with the AudioSpecificConfig's length and bytes."""

import json
import os
import subprocess
import sys


def packets(path, count):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_packets",
         "-show_entries", "packet=pos,size", "-of", "json", path],
        check=True, capture_output=True, text=True).stdout
    with open(path, "rb") as f:
        data = f.read()
    result = []
    for p in json.loads(out)["packets"][:count]:
        pos, size = int(p["pos"]), int(p["size"])
        result.append(data[pos:pos + size])
    return result


def extradata(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_streams", "-show_data",
         "-of", "json", path], check=True, capture_output=True, text=True).stdout
    text = json.loads(out)["streams"][0].get("extradata", "")
    hexdigits = "".join(line.split(":")[1][:40] for line in text.splitlines() if ":" in line)
    return bytes.fromhex(hexdigits.replace(" ", ""))


def framed(items):
    return b"".join(len(p).to_bytes(2, "big") + p for p in items)


def main():
    media, corpus = sys.argv[1], sys.argv[2]
    seeds = {
        "fuzz_decoder_mp3": ["tone_440_44100_stereo.mp3", "tone_1000_22050_mono.mp3",
                             "tone_440_44100_stereo.mp2"],
        "fuzz_decoder_adts": ["tone_440_44100_stereo.aac", "tone_1000_22050_mono.aac"],
    }
    for target, names in seeds.items():
        os.makedirs(os.path.join(corpus, target), exist_ok=True)
        for name in names:
            with open(os.path.join(corpus, target, name + ".bin"), "wb") as f:
                f.write(framed(packets(os.path.join(media, name), 3)))
    m4a = os.path.join(media, "tone_440_44100_stereo.m4a")
    asc = extradata(m4a)
    body = framed(packets(m4a, 3))
    os.makedirs(os.path.join(corpus, "fuzz_decoder_aac"), exist_ok=True)
    with open(os.path.join(corpus, "fuzz_decoder_aac", "with_asc.bin"), "wb") as f:
        f.write(bytes([len(asc)]) + asc + body)
    with open(os.path.join(corpus, "fuzz_decoder_aac", "without_asc.bin"), "wb") as f:
        f.write(bytes([0]) + body)


if __name__ == "__main__":
    main()
