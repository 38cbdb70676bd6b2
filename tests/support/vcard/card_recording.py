#!/usr/bin/env python3
"""What the virtual sound card played, on the clock: reads a device's recording
(<VCARD_DIR>/<pcm>.wav) and its runs from the event log (every "start" begins one, the
next "xrun", "drop", "drain" or "close" ends it with the frames played), and places every
50 ms window of sound at the CLOCK_MONOTONIC time it was played (Python's
time.monotonic()). Tests and benchmarks judge from it what a listener heard: gaps, seconds
heard, and which tone (so which sender).

    timeline = heard(card_dir)                 # [(time s, frequency Hz)] for windows with sound
    report = summary(timeline, since, until)   # longest gap, seconds heard, seconds per tone
"""

import array
import os
import sys
import wave

WINDOW_S = 0.05
LOUD = 1000  # peak of a window with sound (16-bit samples)


def runs(card_dir, pcm="channel1"):
    """[(start time s, frames)] of each run of the device, in the order they played."""
    result = []
    start = None
    with open(os.path.join(card_dir, "events.log")) as f:
        for line in f:
            parts = line.split()
            if len(parts) < 4 or parts[2] != pcm:
                continue
            when, event = float(parts[0]), parts[3]
            values = dict(p.split("=", 1) for p in parts[4:] if "=" in p)
            if event == "start":
                start = when
            elif event in ("xrun", "drop", "drain", "close") and start is not None:
                result.append((start, int(values.get("played", "0"))))
                start = None
    return result


def heard(card_dir, pcm="channel1", speed=1.0, window_s=WINDOW_S):
    """[(time s, frequency Hz rounded to 10)] of every window that holds sound."""
    path = os.path.join(card_dir, pcm + ".wav")
    with wave.open(path, "rb") as w:
        rate, channels = w.getframerate(), w.getnchannels()
        assert w.getsampwidth() == 2
        samples = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder != "little":
        samples.byteswap()
    left = samples[0::channels]
    window = int(rate * window_s)
    played_rate = rate * speed
    timeline = []
    offset = 0
    for start, frames in runs(card_dir, pcm):
        end = min(offset + frames, len(left))
        for i in range(offset, end - window + 1, window):
            chunk = left[i:i + window]
            if max(chunk) < LOUD and -min(chunk) < LOUD:
                continue
            crossings = sum(1 for a, b in zip(chunk, chunk[1:]) if (a < 0) != (b < 0))
            freq = int(round(crossings * rate / (2.0 * window) / 10.0) * 10)
            timeline.append((start + (i - offset) / played_rate, freq))
        offset += frames
    return timeline


def summary(timeline, since=None, until=None, window_s=WINDOW_S, speed=1.0):
    """Longest stretch without sound between the first sound after since and until (or the
    last sound), seconds heard, and seconds per tone (rounded to 10 Hz, merged within 30 Hz)."""
    step = window_s / speed
    times = [(t, f) for t, f in timeline
             if (since is None or t >= since) and (until is None or t < until)]
    report = {"longest_gap_s": 0.0, "gap_at": None, "heard_s": round(len(times) * step, 2),
              "first_s": times[0][0] if times else None, "tones": {}}
    for (a, _), (b, _) in zip(times, times[1:]):
        gap = b - a - step
        if gap > report["longest_gap_s"]:
            report["longest_gap_s"], report["gap_at"] = gap, a + step
    if times and until is not None and until - times[-1][0] - step > report["longest_gap_s"]:
        report["longest_gap_s"], report["gap_at"] = until - times[-1][0] - step, times[-1][0] + step
    report["longest_gap_s"] = round(max(0.0, report["longest_gap_s"]), 2)
    tones = report["tones"]
    for _, f in times:
        near = next((k for k in tones if abs(k - f) <= 30), f)
        tones[near] = tones.get(near, 0.0) + step
    report["tones"] = {k: round(v, 2) for k, v in sorted(tones.items(), key=lambda kv: -kv[1])}
    return report


def first_of_tone(timeline, freq, since=None, tolerance=30):
    """The time the tone is first heard after since, or None."""
    for t, f in timeline:
        if (since is None or t >= since) and abs(f - freq) <= tolerance:
            return t
    return None


if __name__ == "__main__":
    tl = heard(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "channel1")
    print(summary(tl))
