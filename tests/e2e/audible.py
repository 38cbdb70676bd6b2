#!/usr/bin/env python3
"""What a listener heard from the virtual card: the recording of a PCM placed on the
card's clock by its event log.

The recording holds only the frames the device played, one run after another; the event
log says when each run started ("start") and when it ended ("xrun" at the moment the
queue ran dry, "drop", "drain" or "close"). Together they give, for every 10 ms window of
played audio, the CLOCK_MONOTONIC time it was heard and whether it was audible. Times
between runs (the device stopped) and silent windows inside runs are both gaps.

    heard = audible.listen(card_folder)          # or listen(card, pcm="channel2")
    heard.first_audio, heard.longest_gap(), heard.seconds_heard()
"""

import array
import os
import sys
import wave

WINDOW_S = 0.01
SILENCE = 64  # a sample above this (of 32767) is audio


def read_runs(card, pcm):
    """[(start time, frames played)] for each run of the device, in order."""
    runs = []
    started = None
    try:
        with open(os.path.join(card, "events.log")) as f:
            lines = f.readlines()
    except OSError:
        return runs
    for line in lines:
        parts = line.split()
        if len(parts) < 4 or parts[2] != pcm:
            continue
        fields = dict(p.split("=", 1) for p in parts[4:] if "=" in p)
        event = parts[3]
        if event == "start":
            started = float(parts[0])
        elif event in ("xrun", "drop", "drain", "close") and started is not None:
            runs.append((started, int(fields.get("played", "0"))))
            started = None
    if started is not None:
        runs.append((started, None))  # still running: whatever the recording holds
    return runs


def read_samples(card, pcm):
    """(rate, channels, samples as array of int16) of the recording, or None."""
    path = os.path.join(card, pcm + ".wav")
    try:
        with wave.open(path, "rb") as w:
            rate, channels = w.getframerate(), w.getnchannels()
            data = w.readframes(w.getnframes())
    except (OSError, EOFError, wave.Error):
        return None
    samples = array.array("h")
    samples.frombytes(data[: len(data) - len(data) % 2])
    if sys.byteorder != "little":
        samples.byteswap()
    return rate, channels, samples


class Heard:
    """Audible windows on the clock: a sorted list of (time, audible)."""

    def __init__(self, windows):
        self.windows = windows
        audible = [t for t, loud in windows if loud]
        self.first_audio = audible[0] if audible else None
        self.last_audio = audible[-1] + WINDOW_S if audible else None
        self._audible = audible

    def gaps(self, until=None):
        """Silences between the first audio and the last (or until), longest first:
        [(start time, seconds)]."""
        out = []
        times = self._audible
        for a, b in zip(times, times[1:]):
            if b - a > WINDOW_S * 1.5:
                out.append((a + WINDOW_S, b - a - WINDOW_S))
        if until is not None and self.last_audio is not None and until > self.last_audio:
            out.append((self.last_audio, until - self.last_audio))
        return sorted(out, key=lambda g: -g[1])

    def longest_gap(self, until=None):
        gaps = self.gaps(until)
        return gaps[0][1] if gaps else 0.0

    def seconds_heard(self):
        return len(self._audible) * WINDOW_S


def listen(card, pcm="channel1"):
    runs = read_runs(card, pcm)
    recording = read_samples(card, pcm)
    if not runs or recording is None:
        return Heard([])
    rate, channels, samples = recording
    total = len(samples) // channels
    step = max(1, int(rate * WINDOW_S))
    windows = []
    offset = 0
    for start, played in runs:
        frames = total - offset if played is None else min(played, total - offset)
        for w in range(0, frames - step + 1, step):
            first = (offset + w) * channels
            chunk = samples[first:first + step * channels]
            loud = max(chunk) > SILENCE or min(chunk) < -SILENCE
            windows.append((start + w / rate, loud))
        offset += frames
    return Heard(windows)


if __name__ == "__main__":
    heard = listen(sys.argv[1], *(sys.argv[2:3] or []))
    print("first audio %s, heard %.2f s, longest gap %.3f s" %
          (heard.first_audio, heard.seconds_heard(), heard.longest_gap()))
    for at, length in heard.gaps()[:5]:
        print("  gap at %.3f: %.3f s" % (at, length))
