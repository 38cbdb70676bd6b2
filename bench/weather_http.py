#!/usr/bin/env python3
"""Live HTTP radio in bad weather: the HTTP rows of the network weather table.

Usage: python3 bench/weather_http.py [--build build/normal] [--seconds 65]

Runs the real quillon program per condition on the project's virtual sound card in real
time against the loopback HTTP test server playing a live broadcast (the stream runs on
the server's clock; a listener joins wherever it is, at any byte; 128 kbit/s MP3):

- "HTTP server closing every 20 s": every connection is closed by the server after
  20 s; each new one begins with the usual burst of 64 KiB (4 s) of what the server
  sent last. Target: no gap over 0.3 s.
- "HTTP mid-stream join, 64 KiB burst" and "HTTP mid-stream join, no burst": the program
  joins the broadcast in the middle. Target: first audio within 5.5 s (the 5 s HTTP
  buffer delay plus 0.5 s).

Per condition one row: the longest silence once the audio has started, the seconds
heard, the time from starting the process to the first audio, the health file's
under-runs and reconnections, and its buffer level (min..max once playing) against the
5000 ms target. What was heard comes from the card's recording placed on its clock
(tests/e2e/audible.py). The network weather script imports `conditions()` from here.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
E2E = os.path.join(REPO, "tests", "e2e")
HTTP_SERVER = os.path.join(REPO, "tests", "support", "http", "test_http_server.py")
RATE = 16000  # bytes per second at 128 kbit/s


class Context:
    """What a condition needs: the build, and a fresh folder per run."""

    def __init__(self, build, seconds=65.0):
        self.build = os.path.abspath(build)
        self.asound = os.path.join(self.build, "vcard", "asound.conf")
        self.quillon = os.path.join(self.build, "app", "quillon")
        self.seconds = seconds
        self.work = tempfile.mkdtemp(prefix="weather-http-")

    def folder(self, name):
        path = os.path.join(self.work, name)
        os.makedirs(path, exist_ok=True)
        return path

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


def _helpers(ctx):
    """The end-to-end helpers, pointed at this build."""
    os.environ["QUILLON_BIN"] = ctx.quillon
    os.environ["VCARD_ASOUND_CONF"] = ctx.asound
    os.environ["HTTP_TEST_SERVER"] = HTTP_SERVER
    if E2E not in sys.path:
        sys.path.insert(0, E2E)
    import audible  # noqa: E402
    import quillon_e2e  # noqa: E402
    quillon_e2e.QUILLON_BIN, quillon_e2e.ASOUND_CONF = ctx.quillon, ctx.asound
    quillon_e2e.HTTP_SERVER = HTTP_SERVER
    return quillon_e2e, audible


def _broadcast(path, seconds=120.0):
    # A tone that wobbles: no two frames alike, as in music.
    wobble = "0.5*sin(2*PI*550*t+6*sin(2*PI*0.37*t))"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "aevalsrc=%s|%s:s=44100:d=%s" % (wobble, wobble, seconds),
         "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0", "-write_xing", "0",
         "-f", "mp3", path],
        check=True)


def _health_sampler(path, readings, stop):
    while not stop.wait(0.5):
        try:
            with open(path) as f:
                readings.append((time.monotonic(), json.loads(f.read())))
        except (OSError, ValueError):
            pass


def _run_live(ctx, name, seconds, **knobs):
    e2e, audible = _helpers(ctx)
    folder = ctx.folder(name.replace(" ", "_").replace(",", ""))
    media = os.path.join(folder, "broadcast.mp3")
    _broadcast(media)
    route = {"file": media, "loop": True, "live": True, "live_offset": 41.7, "rate": RATE,
             "icy": True, "titles": ["On air"], "headers": {"Content-Type": "audio/mpeg"}}
    route.update(knobs)
    server = e2e.HttpTestServer(folder, {"/live": route})
    readings, stop = [], threading.Event()
    try:
        began = time.monotonic()
        run = e2e.QuillonRun(folder, "volume=60\nmedia_type=stream\nurl=http://127.0.0.1:%d/live\n"
                             % server.port, speed="1")
        sampler = threading.Thread(target=_health_sampler,
                                   args=(run.status + ".health", readings, stop), daemon=True)
        sampler.start()
        time.sleep(seconds)
        ended = time.monotonic()
        run.interrupt()
        stop.set()
        sampler.join()
    finally:
        server.stop()
    heard = audible.listen(run.card)
    playing = [h["buffer_ms"] for t, h in readings
               if heard.first_audio is not None and t > heard.first_audio + 1.0]
    last = readings[-1][1] if readings else {}
    return {
        "condition": name,
        "longest_gap_s": heard.longest_gap(until=ended - 0.3) if heard.first_audio else None,
        "heard_s": heard.seconds_heard(),
        "first_audio_s": heard.first_audio - began if heard.first_audio else None,
        "underruns": last.get("underruns"),
        "reconnects": last.get("reconnects"),
        "lost": last.get("lost_packets"),
        "duplicated": last.get("duplicated_frames"),
        "dropped": last.get("dropped_frames"),
        "level_ms": (min(playing), max(playing)) if playing else None,
        "target_ms": last.get("target_ms"),
    }


def server_closing_every_20s(ctx):
    return _run_live(ctx, "HTTP server closing every 20 s", ctx.seconds,
                     burst=4 * RATE, drop_after=20)


def mid_stream_join_with_burst(ctx):
    return _run_live(ctx, "HTTP mid-stream join, 64 KiB burst", 12, burst=65536)


def mid_stream_join_without_burst(ctx):
    return _run_live(ctx, "HTTP mid-stream join, no burst", 12)


def conditions():
    """[(name, function(ctx) -> row)] in table order."""
    return [
        ("HTTP server closing every 20 s", server_closing_every_20s),
        ("HTTP mid-stream join, 64 KiB burst", mid_stream_join_with_burst),
        ("HTTP mid-stream join, no burst", mid_stream_join_without_burst),
    ]


COLUMNS = [("condition", "condition"), ("longest gap s", "longest_gap_s"), ("heard s", "heard_s"),
           ("first audio s", "first_audio_s"), ("under-runs", "underruns"),
           ("reconnects", "reconnects"), ("level ms (target)", "level_ms")]


def cell(row, key):
    value = row.get(key)
    if value is None:
        return "–"
    if key == "level_ms":
        return "%d..%d (%s)" % (value[0], value[1], row.get("target_ms"))
    if isinstance(value, float):
        return "%.2f" % value
    return str(value)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "normal"))
    parser.add_argument("--seconds", type=float, default=65.0,
                        help="length of the run with a closing server (three closes in 65 s)")
    args = parser.parse_args()
    ctx = Context(args.build, args.seconds)
    for path in (ctx.quillon, ctx.asound):
        if not os.path.exists(path):
            sys.exit("weather_http.py: %s is missing: build first (cmake --build %s)" % (path, ctx.build))
    try:
        rows = []
        for name, run in conditions():
            rows.append(run(ctx))
            print("%s done" % name, file=sys.stderr)
    finally:
        ctx.close()
    print("| " + " | ".join(title for title, _ in COLUMNS) + " |")
    print("|" + "---|" * len(COLUMNS))
    for row in rows:
        print("| " + " | ".join(cell(row, key) for _, key in COLUMNS) + " |")


if __name__ == "__main__":
    main()
