#!/usr/bin/env python3
"""Live HTTP radio as a listener hears it, end to end.

Starts, per test: the quillon binary on the project's virtual sound card in real time
(as in quillon_e2e.py) and the loopback HTTP test server as a live radio server, on
127.0.0.1 and a free port: the broadcast runs on the server's clock, a listener joins
it wherever it is (at any byte), the server hands a new listener a burst of what it
sent last, and it may close every connection after a few seconds or go away for a while.

What is checked comes from the card's recording placed on its clock (audible.py): the
longest silence once the audio has started and the seconds heard, next to the health
file's figures and the program's log lines.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import audible  # noqa: E402
import quillon_e2e as e2e  # noqa: E402
from quillon_health import HealthPoller  # noqa: E402

RATE = 16000          # bytes per second of the 128 kbit/s stream
TARGET_MS = 5000      # the program's HTTP buffer delay


def make_broadcast(path, seconds=60.0):
    """An MP3 whose frames never repeat (a tone that wobbles), so that a repeated or a
    missing stretch cannot hide behind identical frames."""
    wobble = "0.5*sin(2*PI*550*t+6*sin(2*PI*0.37*t))"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "aevalsrc=%s|%s:s=44100:d=%s" % (wobble, wobble, seconds),
         "-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0", "-write_xing", "0",
         "-f", "mp3", path],
        check=True)


class LiveRadio(e2e.E2ETestCase):
    def setUp(self):
        super().setUp()
        self.media = os.path.join(self.folder, "broadcast.mp3")
        make_broadcast(self.media)
        saved = os.environ.get("QUILLON_LOG_STDERR")
        os.environ["QUILLON_LOG_STDERR"] = "1"
        self.addCleanup(self.restore_env, saved)

    @staticmethod
    def restore_env(saved):
        if saved is None:
            os.environ.pop("QUILLON_LOG_STDERR", None)
        else:
            os.environ["QUILLON_LOG_STDERR"] = saved

    def route(self, **knobs):
        route = {"file": self.media, "loop": True, "live": True, "live_offset": 17.3,
                 "rate": RATE, "icy": True, "titles": ["On air"],
                 "headers": {"Content-Type": "audio/mpeg"}}
        route.update(knobs)
        return route

    def serve(self, route):
        server = e2e.HttpTestServer(self.folder, {"/live": route})
        self.addCleanup(server.stop)
        return server

    def play(self, server):
        """Starts quillon on the server's stream in real time: (run, health poller, start)."""
        url = "http://127.0.0.1:%d/live" % server.port
        began = time.monotonic()
        run = self.start("volume=60\nmedia_type=stream\nurl=%s\n" % url, speed="1")
        health = HealthPoller(run.status + ".health")
        health.start()
        self.addCleanup(health.stop)
        return run, health, began

    def finish(self, run, health):
        ended = time.monotonic()
        self.assertEqual(run.interrupt(), 2)
        health.stop()
        self.assertEqual(health.bad, [])
        return ended, run.output(), audible.listen(run.card)

    def assert_clean_log(self, output):
        # A server that closes cleanly is the end of its stream, not a fault.
        errors = [line for line in output.splitlines()
                  if "ERROR" in line and "AssignAudioFormat" not in line]
        self.assertEqual(errors, [], output[-3000:])

    def test_a_server_closing_every_few_seconds_is_not_heard(self):
        # Every connection closes after 4 s; each new one begins with a 4 s burst of what
        # the server sent last, which the player already holds.
        server = self.serve(self.route(burst=4 * RATE, drop_after=4))
        run, health, began = self.play(server)
        reconnected = e2e.wait_until(lambda: health.seen(lambda v: v["reconnects"] >= 2), 20)
        time.sleep(2)
        ended, output, heard = self.finish(run, health)
        self.assertTrue(reconnected, (health.readings[-3:], output[-3000:]))
        self.assertIsNotNone(heard.first_audio, output[-3000:])
        gap = heard.longest_gap(until=ended - 0.3)
        self.assertLess(gap, 1.0, (heard.gaps()[:3], output[-3000:]))
        self.assertGreater(heard.seconds_heard(), ended - heard.first_audio - 1.5)
        last = health.readings[-1]
        self.assertEqual(last["underruns"], 0, last)
        # The bursts were recognised and left out: the buffer did not grow by them.
        self.assertLess(max(v["buffer_ms"] for v in health.readings), TARGET_MS + 1000,
                        health.readings)
        self.assertIn("joined after them", output)
        self.assert_clean_log(output)

    def test_joining_mid_flight_starts_at_the_delay_and_the_level_reads_true(self):
        # A 3 s burst from the middle of the broadcast: 2 s more complete the 5 s delay.
        server = self.serve(self.route(burst=3 * RATE))
        run, health, began = self.play(server)
        started = e2e.wait_until(lambda: audible.listen(run.card).first_audio is not None, 20)
        time.sleep(3)
        ended, output, heard = self.finish(run, health)
        self.assertTrue(started, output[-3000:])
        # The level is shown while the buffer fills, and once playing it is what the
        # buffer holds: about the target, not the target plus what the probe waited for.
        filling = [v["buffer_ms"] for v in health.readings if 0 < v["buffer_ms"] < TARGET_MS - 500]
        self.assertTrue(filling, health.readings)
        playing = [v["buffer_ms"] for v in health.readings[-4:]]
        self.assertTrue(all(TARGET_MS - 1000 < ms < TARGET_MS + 1000 for ms in playing),
                        health.readings)
        self.assertLess(heard.longest_gap(until=ended - 0.3), 0.3, heard.gaps()[:3])

    def test_the_buffer_plays_through_a_server_restart(self):
        # The server goes away for 2 s: the connection is refused, the player waits and
        # tries again, and the 5 s buffer covers it all.
        server = self.serve(self.route())
        run, health, began = self.play(server)
        self.assertTrue(e2e.wait_until(lambda: health.seen(
            lambda v: v["buffer_ms"] >= TARGET_MS - 500 and v["stream_age_s"] >= 6), 20),
            (health.readings[-3:], run.output()[-3000:]))
        port = server.port
        server.proc.kill()
        server.proc.wait()
        time.sleep(2)
        again = subprocess.Popen(
            [sys.executable, e2e.HTTP_SERVER, "--routes", server.routes_path, "--port", str(port)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(again.wait, 10)
        self.addCleanup(again.terminate)
        reconnected = e2e.wait_until(lambda: health.seen(lambda v: v["reconnects"] >= 1 and
                                                          v["buffer_ms"] >= TARGET_MS - 1500), 15)
        time.sleep(1)
        ended, output, heard = self.finish(run, health)
        self.assertTrue(reconnected, (health.readings[-3:], output[-3000:]))
        self.assertLess(heard.longest_gap(until=ended - 0.3), 1.0, (heard.gaps()[:3], output[-3000:]))
        self.assertEqual(health.readings[-1]["underruns"], 0, health.readings[-1])
        self.assertIn("Changing to Retry state", output)


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF),
                        ("HTTP_TEST_SERVER", e2e.HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
