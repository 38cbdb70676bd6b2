#!/usr/bin/env python3
"""Soak of the quillon program on a stream whose server drops the connection every minute.

Plays an HTTP stream (the loopback test server, real-time MP3) on the virtual sound card for
the given time; the server closes every connection after --drop seconds, so the player has
to reconnect by itself each time. Every --sample seconds it prints the program's resident
memory, open file descriptors and threads; at the end the growth after the warm-up.
Not part of the test suite: run it by hand on a built tree.

Usage: scripts/soak_player.py [--minutes 30] [--build build/normal] [--drop 60] [--sample 10]
Exit status 1 when the program ended by itself, did not stop on SIGINT, or resident memory
or descriptors grew past the limits (--rss-growth-kib, --fd-growth) after the warm-up.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

from soak_growth import growth

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import quillon_e2e as e2e  # noqa: E402  (program runner, HTTP server, media)


def sample(pid):
    values = {"rss_kib": 0, "fds": 0, "threads": 0}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                values["rss_kib"] = int(line.split()[1])
            elif line.startswith("Threads:"):
                values["threads"] = int(line.split()[1])
    values["fds"] = len(os.listdir("/proc/%d/fd" % pid))
    return values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "normal"))
    parser.add_argument("--drop", type=float, default=60)
    parser.add_argument("--sample", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=120,
                        help="seconds before the baseline sample")
    parser.add_argument("--rss-growth-kib", type=int, default=2048)
    parser.add_argument("--fd-growth", type=int, default=0)
    args = parser.parse_args()

    e2e.QUILLON_BIN = os.path.join(args.build, "app", "quillon")
    e2e.ASOUND_CONF = os.path.join(args.build, "vcard", "asound.conf")
    e2e.HTTP_SERVER = os.path.join(ROOT, "tests", "support", "http", "test_http_server.py")
    folder = tempfile.mkdtemp(prefix="quillon-soak-")
    server = run = None
    try:
        media = os.path.join(folder, "tone.mp3")
        e2e.make_tone(media, 550, seconds=10.0)
        server = e2e.HttpTestServer(folder, {"/live.mp3": {
            "headers": {"Content-Type": "audio/mpeg"}, "file": media, "loop": True,
            "rate": 16000, "drop_after": args.drop}})
        url = "http://127.0.0.1:%d/live.mp3" % server.port
        run = e2e.QuillonRun(os.path.join(folder, "run"),
                             "volume=60\nmedia_type=stream\nurl=%s\n" % url, speed="1")
        # The recording of the card would grow by 11 MB a minute: keep none.
        start = time.monotonic()
        end = start + args.minutes * 60
        baseline = None
        samples = []
        print("seconds,rss_kib,fds,threads,reconnects", flush=True)
        while time.monotonic() < end:
            time.sleep(args.sample)
            if run.proc.poll() is not None:
                print("soak: the program ended by itself (status %s)" % run.proc.returncode)
                print(run.output()[-3000:])
                return 1
            wav = os.path.join(run.card, "channel1.wav")
            if os.path.exists(wav):
                os.truncate(wav, 0)
            values = sample(run.proc.pid)
            values["t"] = time.monotonic() - start
            values["reconnects"] = max(0, run.output().count("NotifyTrackPlaybackStarted()") - 1)
            samples.append(values)
            print("%.0f,%d,%d,%d,%d" % (values["t"], values["rss_kib"], values["fds"],
                                        values["threads"], values["reconnects"]), flush=True)
            if baseline is None and values["t"] >= args.warmup:
                baseline = values
        stop_start = time.monotonic()
        status = run.interrupt()
        stop_s = time.monotonic() - stop_start
    finally:
        if run:
            run.kill()
        if server:
            server.stop()
    last = samples[-1]
    rss_growth, fd_growth, figures = growth(samples, baseline, args.sample)
    print("soak: %.1f min, %d reconnects; %s; SIGINT status %s in %.2f s"
          % (last["t"] / 60, last["reconnects"], figures, status, stop_s))
    shutil.rmtree(folder, ignore_errors=True)
    ok = status == 2 and rss_growth <= args.rss_growth_kib and fd_growth <= args.fd_growth
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
