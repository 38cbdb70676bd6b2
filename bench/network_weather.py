#!/usr/bin/env python3
"""Network weather: the real quillon on the virtual sound card, in real time, under the
conditions a device meets on real networks, one table row per condition.

    python3 bench/network_weather.py [--build build/normal] [--seconds 30] [--only NAME ...]

Each condition starts its own quillon (folder, configuration and card recording in a
temporary folder), its senders (ffmpeg command lines sending MP3 tones, one frequency per
sender) or servers, and the UDP relay of the test helpers between them; then it judges the
card's recording placed on the clock (tests/support/vcard/card_recording.py) from the
first sound on, and the health file's last line:

| column | what |
|---|---|
| longest gap s | the longest stretch without sound after the first sound |
| heard s | seconds of sound in the measured time |
| under-runs, lost, duplicated, dropped, foreign | the health file (lost/foreign: packets) |
| heard | seconds per tone, i.e. per sender |
| target | the condition's target and whether it was met |

Conditions are Condition entries of CONDITIONS (RTP rows here). A module
bench/weather_http.py, when present, adds the HTTP rows through its conditions()
function, which returns more Condition entries using the same Context.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
sys.path.insert(0, os.path.join(REPO, "tests", "support", "rtp"))
sys.path.insert(0, os.path.join(REPO, "tests", "support", "vcard"))
import card_recording  # noqa: E402
import quillon_e2e as e2e  # noqa: E402
from quillon_health import HealthPoller  # noqa: E402
from rtp_relay import RtpRelay, free_rtp_port  # noqa: E402

MAIN, OTHER, RESTARTED = 550, 880, 660


class Condition:
    """name: the row's name; run(ctx) -> dict of extra row fields (see Context.finish)."""

    def __init__(self, name, run):
        self.name = name
        self.run = run


class Context:
    """One condition's world: its folder, processes and helpers; cleaned up by close()."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.folder = tempfile.mkdtemp(prefix="quillon-weather-")
        self.cleanups = []
        self.tones = {}
        self.run = None
        self.health = None

    def close(self):
        for cleanup in reversed(self.cleanups):
            try:
                cleanup()
            except Exception:  # noqa: BLE001  (best effort: the next row must run)
                pass
        shutil.rmtree(self.folder, ignore_errors=True)

    def tone(self, freq, seconds=None):
        if freq not in self.tones:
            path = os.path.join(self.folder, "tone-%d.mp3" % freq)
            e2e.make_tone(path, freq, seconds=seconds or self.seconds + 30)
            self.tones[freq] = path
        return self.tones[freq]

    def player(self, url, extra="", tones=(MAIN,)):
        """quillon playing url; returns when it is listening. The tones are made first."""
        for freq in tones:
            self.tone(freq)
        run = e2e.QuillonRun(self.folder, "volume=60\nmedia_type=stream\nurl=%s\n%s" % (url, extra), speed="1")
        self.cleanups.append(run.kill)
        self.run = run
        self.health = HealthPoller(run.status + ".health")
        self.health.start()
        self.cleanups.append(self.health.stop)
        e2e.wait_until(lambda: "Opening URL playback audio source" in run.output(), 10)
        self.started = time.monotonic()
        return run

    def sender(self, freq, port, seq=1000, ssrc=0x1111):
        proc = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", self.tone(freq),
             "-c:a", "copy", "-seq", str(seq), "-ssrc", str(ssrc), "-f", "rtp", "rtp://127.0.0.1:%d" % port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: (proc.terminate(), proc.wait(10)))
        return proc

    def relay(self, target, **knobs):
        relay = RtpRelay(target, **knobs).start()
        self.cleanups.append(relay.stop)
        return relay

    def wait_until(self, seconds_after_start):
        left = self.started + seconds_after_start - time.monotonic()
        if left > 0:
            time.sleep(left)

    def finish(self):
        """Stops the player; the row's common fields."""
        until = time.monotonic()
        last = self.health.readings[-1] if self.health.readings else {}
        self.run.interrupt()
        self.health.stop()
        timeline = card_recording.heard(self.run.card)
        report = card_recording.summary(timeline, since=self.started, until=until)
        self.timeline = timeline
        return {
            "longest gap s": "%.2f" % report["longest_gap_s"],
            "heard s": "%.1f" % report["heard_s"],
            "under-runs": last.get("underruns", "?"),
            "lost": last.get("lost_packets", "?"),
            "duplicated": last.get("duplicated_frames", "?"),
            "dropped": last.get("dropped_frames", "?"),
            "foreign": last.get("foreign_packets", "?"),
            "heard": ", ".join("%d Hz %.1f s" % (f, s) for f, s in report["tones"].items() if s >= 0.2),
            "_report": report,
        }


def rtp_row(ctx, **knobs):
    port = free_rtp_port()
    ctx.player("rtp://127.0.0.1:%d" % port)
    relay = ctx.relay(port, **knobs)
    ctx.sender(MAIN, relay.port)
    ctx.wait_until(ctx.seconds)
    row = ctx.finish()
    row["relay"] = relay
    return row


def clean(ctx):
    row = rtp_row(ctx)
    row["target"] = "no gap: %s" % ("met" if float(row["longest gap s"]) < 0.1 else "missed")
    return row


def jitter(ctx):
    row = rtp_row(ctx, jitter_ms=60)
    row["target"] = "not audible: %s" % ("met" if float(row["longest gap s"]) < 0.1 else "missed")
    return row


def loss(ctx):
    row = rtp_row(ctx, loss=0.02)
    row["target"] = "no under-run: %s" % ("met" if row["under-runs"] == 0 else "missed")
    row["lost"] = "%s of %d" % (row["lost"], row["relay"].lost)
    return row


def outage(length):
    def run(ctx):
        row = rtp_row(ctx, outages=[(10.0, length)])
        relay = row["relay"]
        row["lost"] = "%s of %d" % (row["lost"], relay.outage_dropped)
        gap = float(row["longest gap s"])
        row["target"] = "gap about the outage: %.1f s" % (gap - length)
        return row
    return run


def restart(ctx):
    port = free_rtp_port()
    ctx.player("rtp://127.0.0.1:%d" % port, tones=(MAIN, RESTARTED))
    relay = ctx.relay(port)
    first = ctx.sender(MAIN, relay.port, seq=30000, ssrc=0x11111111)
    ctx.wait_until(ctx.seconds / 2)
    first.terminate()
    first.wait(10)
    ctx.sender(RESTARTED, relay.port, seq=1000, ssrc=0x22222222)
    ctx.wait_until(ctx.seconds)
    row = ctx.finish()
    began = relay.ssrc_first.get(0x22222222)
    back = card_recording.first_of_tone(ctx.timeline, RESTARTED, since=began) if began else None
    if back is None:
        row["target"] = "heard again within 1 s: never heard"
    else:
        row["target"] = "heard again within 1 s: %.2f s, %s" % (back - began, "met" if back - began <= 1.0 else "missed")
    return row


def intruder(ctx):
    port = free_rtp_port()
    ctx.player("rtp://127.0.0.1:%d" % port, tones=(MAIN, OTHER))
    relay = ctx.relay(port, intruder=True)
    ctx.sender(MAIN, relay.port, seq=1000, ssrc=0x11111111)
    ctx.wait_until(5)
    # Numbers ahead of the sender's: played by a player that goes by numbers alone.
    ctx.sender(OTHER, relay.intruder_port, seq=30000, ssrc=0x22222222)
    ctx.wait_until(ctx.seconds)
    row = ctx.finish()
    played = sum(s for f, s in row["_report"]["tones"].items() if abs(f - OTHER) <= 30)
    row["target"] = "intruder never played: %s" % ("met" if played == 0 else "missed (%.1f s)" % played)
    row["foreign"] = "%s of %d" % (row["foreign"], relay.intruder_forwarded)
    return row


CONDITIONS = [
    Condition("RTP clean", clean),
    Condition("RTP jitter 60 ms", jitter),
    Condition("RTP loss 2 %", loss),
    Condition("RTP outage 2 s", outage(2.0)),
    Condition("RTP outage 8 s (reconnect)", outage(8.0)),
    Condition("RTP sender restart", restart),
    Condition("RTP intruder", intruder),
]

COLUMNS = ["condition", "longest gap s", "heard s", "under-runs", "lost", "duplicated", "dropped",
           "foreign", "heard", "target"]


def http_condition(weather_http, name, function):
    """An HTTP row of weather_http.py: its own context, its keys put into these columns."""
    def run(ctx):
        http_ctx = weather_http.Context(ARGS.build, ctx.seconds)
        try:
            row = function(http_ctx)
        finally:
            http_ctx.close()
        gap, first = row.get("longest_gap_s"), row.get("first_audio_s")
        target = "no gap over 0.3 s" if "closing" in name else "first audio within 5.5 s"
        met = (gap is not None and gap <= 0.3) if "closing" in name else (first is not None and first <= 5.5)
        return {
            "longest gap s": "%.2f" % gap if gap is not None else "-",
            "heard s": "%.1f" % row.get("heard_s", 0),
            "under-runs": row.get("underruns"), "lost": row.get("lost"),
            "duplicated": row.get("duplicated"), "dropped": row.get("dropped"), "foreign": "-",
            "heard": "first audio after %.2f s, %s reconnects" % (first or -1, row.get("reconnects")),
            "target": "%s: %s" % (target, "met" if met else "missed"),
        }
    return Condition(name, run)


def all_conditions():
    conditions = list(CONDITIONS)
    try:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import weather_http  # noqa: E402  (the HTTP rows, where present)
        conditions += [http_condition(weather_http, name, fn) for name, fn in weather_http.conditions()]
    except ImportError:
        pass
    return conditions


ARGS = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(REPO, "build", "normal"))
    parser.add_argument("--seconds", type=float, default=30.0, help="length of each condition")
    parser.add_argument("--only", nargs="*", help="conditions whose names contain one of these words")
    args = parser.parse_args()
    global ARGS
    ARGS = args
    e2e.QUILLON_BIN = os.path.join(args.build, "app", "quillon")
    e2e.ASOUND_CONF = os.path.join(args.build, "vcard", "asound.conf")
    for path in (e2e.QUILLON_BIN, e2e.ASOUND_CONF):
        if not os.path.exists(path):
            sys.exit("%s is missing: build first" % path)
    rows = []
    for condition in all_conditions():
        if args.only and not any(w.lower() in condition.name.lower() for w in args.only):
            continue
        ctx = Context(args.seconds)
        try:
            row = condition.run(ctx)
        except Exception as error:  # noqa: BLE001  (a failing row is reported, the rest run)
            row = {"target": "failed: %s" % error}
        finally:
            ctx.close()
        row["condition"] = condition.name
        rows.append(row)
        print("| " + " | ".join(str(row.get(c, "")) for c in COLUMNS) + " |", file=sys.stderr, flush=True)
    print("| " + " | ".join(COLUMNS) + " |")
    print("|" + "---|" * len(COLUMNS))
    for row in rows:
        print("| " + " | ".join(str(row.get(c, "")) for c in COLUMNS) + " |")


if __name__ == "__main__":
    main()
