#!/usr/bin/env python3
"""RTP streams on a network that loses, delays and reorders packets, with senders that
restart or intrude, end to end.

Starts, per test: the quillon binary on the project's virtual sound card (as in
quillon_e2e.py), RTP senders made by the ffmpeg command line (MP3 tones, one frequency per
sender, so the recording tells whom the card played) and the project's UDP relay
(tests/support/rtp/rtp_relay.py) between them and the player, all on 127.0.0.1 and free
ports. What was heard comes from the card's recording placed on the clock
(tests/support/vcard/card_recording.py); the health file is read every 50 ms.

- Loss: packets the relay leaves out are filled by the level control, so the buffer keeps
  its level and never runs dry, and lost_packets says how many the relay dropped.
- Senders: an intruder's audio is never played (its packets are counted as foreign); an
  outage longer than the source's time-out is counted whole across the reconnection; a
  sender that restarts with a new SSRC and numbers behind the old ones is followed without
  a reconnection.
- A clean start and stop logs no ERROR line.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import os
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support", "rtp"))
sys.path.insert(0, os.path.join(HERE, "..", "support", "vcard"))
import card_recording  # noqa: E402
import quillon_e2e as e2e  # noqa: E402
from quillon_health import HealthPoller  # noqa: E402
from rtp_relay import RtpRelay, free_rtp_port  # noqa: E402

MAIN, INTRUDER, RESTARTED = 550, 880, 660


class RtpCase(e2e.E2ETestCase):
    def setUp(self):
        super().setUp()
        self.saved_log = os.environ.get("QUILLON_LOG_STDERR")
        os.environ["QUILLON_LOG_STDERR"] = "1"
        self.tones = {}

    def tearDown(self):
        if self.saved_log is None:
            os.environ.pop("QUILLON_LOG_STDERR", None)
        else:
            os.environ["QUILLON_LOG_STDERR"] = self.saved_log
        super().tearDown()

    def tone(self, freq, seconds=100.0):
        if freq not in self.tones:
            path = os.path.join(self.folder, "tone-%d.mp3" % freq)
            e2e.make_tone(path, freq, seconds=seconds)
            self.tones[freq] = path
        return self.tones[freq]

    def sender(self, freq, port, seq, ssrc, speed=1):
        """An ffmpeg RTP sender of a tone at the card's pace."""
        proc = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-readrate", str(speed),
             "-i", self.tone(freq), "-c:a", "copy", "-seq", str(seq), "-ssrc", str(ssrc),
             "-f", "rtp", "rtp://127.0.0.1:%d" % port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        return proc

    def relay(self, target, **knobs):
        relay = RtpRelay(target, **knobs).start()
        self.addCleanup(relay.stop)
        return relay

    def player(self, port, speed, tones=(MAIN,), extra=""):
        for freq in tones:  # made before the player waits for packets
            self.tone(freq)
        run = self.start("volume=60\nmedia_type=stream\nurl=rtp://127.0.0.1:%d\nbuffer_ms=500\n%s" % (port, extra),
                         speed=speed)
        health = HealthPoller(run.status + ".health")
        health.start()
        self.addCleanup(health.stop)
        # The player listens before anything is sent: every packet counts.
        self.assertTrue(e2e.wait_until(lambda: "Opening URL playback audio source" in run.output(), 10),
                        run.output()[-2000:])
        return run, health

    def settled(self, health):
        """The next health line after the present moment (the file is written once a second)."""
        now = len(health.readings)
        self.assertTrue(e2e.wait_until(lambda: len(health.readings) > now and
                                       health.readings[-1]["time"] > health.readings[now - 1]["time"], 5))
        return health.readings[-1]

    def finish(self, run, health):
        self.assertEqual(run.interrupt(), 2, run.output()[-3000:])
        health.stop()
        self.assertEqual(health.bad, [])


class Loss(RtpCase):
    def test_lost_packets_are_filled_and_counted(self):
        # 5 % loss (real time: the reordering wait is wall time): without filling, the
        # buffer would run dry within ten seconds, and again and again.
        port = free_rtp_port()
        run, health = self.player(port, speed="1")
        relay = self.relay(port, loss=0.05, seed=7)
        started = time.monotonic()
        sender = self.sender(MAIN, relay.port, seq=1000, ssrc=0x1111)
        self.assertTrue(e2e.wait_until(lambda: health.seen(lambda v: v["stream_age_s"] >= 16), 40))
        last = self.settled(health)
        last_at = time.monotonic()
        dropped = relay.lost
        sender.terminate()
        self.finish(run, health)
        out = run.output()
        self.assertEqual(last["underruns"], 0, (last, out[-3000:]))
        self.assertGreater(dropped, 8, relay.counters())
        # Every packet missing from the numbers is counted (a loss is seen when the next
        # packet has come and been read, so the newest few may be counted a moment later).
        self.assertLessEqual(last["lost_packets"], dropped, last)
        self.assertGreaterEqual(last["lost_packets"], dropped - 5, (last, relay.counters()))
        self.assertEqual(last["foreign_packets"], 0)
        # The level stays about its target once playing (accuracy 100 ms).
        levels = [v["buffer_ms"] for v in health.readings if v["stream_age_s"] >= 3]
        levels.sort()
        self.assertTrue(350 <= levels[len(levels) // 2] <= 650, levels)
        self.assertGreater(levels[len(levels) // 10], 200, levels)
        # What the card played: the tone, without a gap a listener would notice (card time).
        heard = card_recording.summary(card_recording.heard(run.card), since=started, until=last_at)
        self.assertLess(heard["longest_gap_s"], 0.3, heard)
        self.assertGreater(heard["tones"].get(MAIN, 0), 12, heard)


class Senders(RtpCase):
    def test_intruder_ignored_outage_counted_restart_followed(self):
        port = free_rtp_port()
        run, health = self.player(port, speed="1", tones=(MAIN, INTRUDER, RESTARTED))
        relay = self.relay(port, intruder=True, outages=[(8.0, 9.0)])
        main = self.sender(MAIN, relay.port, seq=1000, ssrc=0x11111111)
        self.assertTrue(e2e.wait_until(lambda: relay.first_at is not None, 10))
        # An intruder whose numbers lie ahead, for three seconds.
        e2e.wait_until(lambda: time.monotonic() > relay.first_at + 2.0, 5)
        intruder = self.sender(INTRUDER, relay.intruder_port, seq=30000, ssrc=0x22222222)
        e2e.wait_until(lambda: time.monotonic() > relay.first_at + 5.0, 5)
        intruder.terminate()
        intruder.wait(5)
        # The outage (8 s to 17 s) outlasts the source's time-out: the player reconnects.
        self.assertTrue(e2e.wait_until(lambda: health.seen(lambda v: v["reconnects"] >= 1), 20),
                        run.output()[-3000:])
        e2e.wait_until(lambda: time.monotonic() > relay.first_at + 19.5, 15)
        reconnects = health.readings[-1]["reconnects"]
        outage_dropped = relay.outage_dropped
        # The sender restarts: a new SSRC, numbers behind the old ones.
        main.terminate()
        main.wait(5)
        restarted = self.sender(RESTARTED, relay.port, seq=200, ssrc=0x33333333)
        self.assertTrue(e2e.wait_until(lambda: 0x33333333 in relay.ssrc_first, 10))
        e2e.wait_until(lambda: time.monotonic() > relay.ssrc_first[0x33333333] + 3.0, 10)
        last = self.settled(health)
        restarted.terminate()
        self.finish(run, health)
        out = run.output()

        heard_at = card_recording.heard(run.card)
        heard = card_recording.summary(heard_at)
        self.assertNotIn(INTRUDER, [f for f in heard["tones"] if abs(f - INTRUDER) <= 30],
                         (heard, out[-3000:]))
        self.assertGreater(heard["tones"].get(MAIN, 0), 8, heard)
        back = card_recording.first_of_tone(heard_at, RESTARTED, since=relay.ssrc_first[0x33333333])
        self.assertIsNotNone(back, (heard, out[-3000:]))
        print("restarted sender heard %.2f s after its first packet" % (back - relay.ssrc_first[0x33333333]))
        # Followed without a reconnection; nothing of the old sender after the new one.
        self.assertEqual(last["reconnects"], reconnects, (last, out[-3000:]))
        self.assertIsNone(card_recording.first_of_tone(heard_at, MAIN, since=back + 0.2))
        # The intruder's packets were counted as foreign; the outage as lost, across the
        # reconnection.
        self.assertGreaterEqual(last["foreign_packets"], relay.intruder_forwarded * 0.9, (last, relay.counters()))
        self.assertLessEqual(last["foreign_packets"], relay.intruder_forwarded, (last, relay.counters()))
        self.assertGreater(outage_dropped, 80)
        self.assertLessEqual(abs(last["lost_packets"] - outage_dropped), 2, (last, relay.counters()))
        # Each change of sender is logged once.
        for ssrc in ("0x11111111", "0x33333333"):
            self.assertEqual(len(re.findall("following RTP sender SSRC %s" % ssrc, out, re.I)), 1, out[-3000:])
        self.assertNotIn("0x22222222", out.upper().replace("0X", "0x"))


class OneHost(RtpCase):
    def test_rtp_source_plays_its_host_alone(self):
        # The other host starts first and keeps sending: without rtp_source it would be
        # the sender followed.
        port = free_rtp_port()
        run, health = self.player(port, speed="4", tones=(MAIN, INTRUDER), extra="rtp_source=127.0.0.2\n")
        other = self.relay(port)
        pager = self.relay(port, from_host="127.0.0.2")
        self.sender(INTRUDER, other.port, seq=1, ssrc=0x5555, speed=4)
        self.assertTrue(e2e.wait_until(lambda: other.forwarded > 20, 10))
        self.sender(MAIN, pager.port, seq=1, ssrc=0x6666, speed=4)
        self.assertTrue(e2e.wait_until(lambda: health.seen(lambda v: v["buffer_ms"] > 0 and
                                                           v["foreign_packets"] > 20), 20))
        time.sleep(2.0)
        last = self.settled(health)
        self.finish(run, health)
        heard = card_recording.summary(card_recording.heard(run.card, speed=4), speed=4)
        self.assertGreater(heard["tones"].get(MAIN, 0) * 4, 4, heard)
        self.assertFalse([f for f in heard["tones"] if abs(f - INTRUDER) <= 30], heard)
        self.assertLessEqual(last["foreign_packets"], other.forwarded)
        self.assertIn("RTP SOURCE=127.0.0.2", run.output())


class Quiet(RtpCase):
    def test_clean_start_and_stop_log_no_error(self):
        port = free_rtp_port()
        run, health = self.player(port, speed="4")
        self.sender(MAIN, port, seq=1, ssrc=0x4444, speed=4)
        self.assertTrue(e2e.wait_until(lambda: health.seen(lambda v: v["buffer_ms"] > 0), 20))
        time.sleep(1.0)
        self.assertEqual(run.interrupt(), 2)
        out = run.output()
        self.assertIn("Setting audio source to rtp://", out)
        self.assertNotIn("ERROR", out, [l for l in out.splitlines() if "ERROR" in l])


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
