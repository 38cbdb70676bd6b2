#!/usr/bin/env python3
"""The real quillon on a virtual card that behaves like the device's hardware.

Each test starts one quillon (see quillon_e2e.QuillonRun) on the virtual card with one of
its device switches: softvol controls that exist only once their PCM was opened
(VCARD_SOFTVOL, a fresh boot without saved mixer state), a close that fails
(VCARD_FAIL_CLOSE), a card that goes away and comes back (VCARD_VANISH). What the mixer
was set to, in order, comes from the card's event log ("mixer set" lines).

A stream comes from python's http.server on 127.0.0.1.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF.
"""

import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quillon_e2e import (E2ETestCase, StatusPoller, free_port, make_tone,  # noqa: E402
                         wait_until)

SIGINT_LIMIT_S = 2.0
RATE = 48000


def raw(percent):
    """The mixer value the player writes for a volume in percent."""
    return percent * 255 // 100


def events(card, pcm=None, name=None):
    """The card's event log as (time, pcm, name, {key: value}) tuples."""
    result = []
    try:
        with open(os.path.join(card, "events.log")) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return result
    for line in lines:
        parts = line.split()
        if len(parts) < 4:
            continue
        fields = dict(p.split("=", 1) for p in parts[4:] if "=" in p)
        if (pcm is None or parts[2] == pcm) and (name is None or parts[3] == name):
            result.append((float(parts[0]), parts[2], parts[3], fields))
    return result


def mixer_values(card, element="chan_1", since=0.0):
    """The values element was set to, in order, from the event log."""
    return [int(f["value"]) for t, _, _, f in events(card, "mixer", "set")
            if f.get("element") == element and t >= since]


def monotonic_now():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


def ramp(values, low, high):
    """How many distinct values strictly between low and high the sequence passes."""
    return len({v for v in values if min(low, high) < v < max(low, high)})


class Card(E2ETestCase):
    def media_folder(self, name, freq, tracks=2, seconds=2.0, rate=RATE):
        media = os.path.join(self.folder, "media", name)
        os.makedirs(media, exist_ok=True)
        for k in range(tracks):
            make_tone(os.path.join(media, "%s%d.mp3" % (name, k)), freq, seconds, rate=rate)
        return name

    @staticmethod
    def config(folder, volume):
        return "volume=%d\nmedia_type=local\nmedia_folder=%s\n" % (volume, folder)

    def reload(self, run, text):
        temp = run.conf + ".new"
        with open(temp, "w") as f:
            f.write(text)
        os.rename(temp, run.conf)
        run.proc.send_signal(signal.SIGHUP)

    def stop(self, run, poller=None):
        start = time.monotonic()
        status = run.interrupt()
        took = time.monotonic() - start
        if poller:
            poller.stop()
        out = run.output()
        self.assertEqual(status, 2, out[-3000:])
        self.assertLess(took, SIGINT_LIMIT_S, out[-3000:])
        for mark in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "WARNING: ThreadSanitizer"):
            self.assertNotIn(mark, out)
        return out

    @staticmethod
    def playing_song(poller, prefix):
        return any(v["m_player_state"] == "1" and v["m_curr_song_name"].startswith(prefix)
                   for v in poller.seen)

    def test_volume_and_fades_reach_softvol_controls_after_a_fresh_boot(self):
        # No saved mixer state: chan_1 appears only once the player opened channel1.
        # Tracks long enough that the reload finds one playing (it fades out only then).
        first = self.media_folder("a", 440, seconds=8.0)
        second = self.media_folder("b", 660, seconds=8.0)
        run = self.start(self.config(first, 50), extra_env={"VCARD_SOFTVOL": "1"})
        poller = StatusPoller(run.status)
        poller.start()
        state = os.path.join(run.card, "mixer.state")

        def chan_1():
            try:
                with open(state) as f:
                    for line in f:
                        name, value = line.split()
                        if name == "chan_1":
                            return int(value)
            except (OSError, ValueError):
                pass
            return None
        self.assertTrue(wait_until(lambda: chan_1() == raw(50), 15),
                        "chan_1 is %s" % chan_1())
        self.assertTrue(wait_until(lambda: self.playing_song(poller, "a"), 10))
        time.sleep(0.3)

        # A reload fades out on the control and fades the new folder in.
        hup = monotonic_now()
        self.reload(run, self.config(second, 70))
        self.assertTrue(wait_until(lambda: self.playing_song(poller, "b"), 15))
        self.assertTrue(wait_until(lambda: chan_1() == raw(70), 5), "chan_1 is %s" % chan_1())
        values = mixer_values(run.card, since=hup)
        self.assertIn(0, values, values)
        down, up = values[:values.index(0) + 1], values[values.index(0):]
        self.assertGreaterEqual(ramp(down, 0, raw(50)), 3, values)
        self.assertEqual(down, sorted(down, reverse=True), values)
        self.assertGreaterEqual(ramp(up, 0, raw(70)), 3, values)
        self.assertEqual(up, sorted(up), values)
        self.stop(run, poller)

    def test_sighup_during_a_fade_goes_on_from_the_volume_reached(self):
        first = self.media_folder("a", 440, seconds=8.0)
        second = self.media_folder("b", 660, seconds=8.0)
        third = self.media_folder("c", 880, seconds=8.0)
        run = self.start(self.config(first, 80))
        poller = StatusPoller(run.status)
        poller.start()
        self.assertTrue(wait_until(lambda: self.playing_song(poller, "a"), 15))
        time.sleep(0.3)
        hup = monotonic_now()
        self.reload(run, self.config(second, 80))

        # Once b fades in, another reload: the fade-out starts where the fade-in was.
        def rising():
            values = mixer_values(run.card, since=hup)
            return 0 in values and any(v > 0 for v in values[values.index(0):])
        self.assertTrue(wait_until(rising, 15, step=0.005), mixer_values(run.card, since=hup))
        second_hup = monotonic_now()
        self.reload(run, self.config(third, 80))
        self.assertTrue(wait_until(lambda: self.playing_song(poller, "c"), 15))
        self.assertTrue(wait_until(lambda: mixer_values(run.card)[-1:] == [raw(80)], 5))
        timed = self.timed_values(run.card, hup)
        before = [v for t, v in timed if t < second_hup]
        after = [v for t, v in timed if t >= second_hup]
        faded_in = before[before.index(0):]
        # b came in gradually, not at its full volume at once
        self.assertLess(faded_in[1], raw(80) // 2, (before, after))
        # no jump to the interrupted fade's target: down from where it was, then up again
        self.assertIn(0, after, (before, after))
        down = after[:after.index(0) + 1]
        self.assertLessEqual(max(down), max(faded_in) + raw(80) // 5, (before, after))
        self.assertGreaterEqual(ramp(after[after.index(0):], 0, raw(80)), 3, (before, after))
        self.stop(run, poller)

    @staticmethod
    def timed_values(card, since, element="chan_1"):
        return [(t, int(f["value"])) for t, _, _, f in events(card, "mixer", "set")
                if f.get("element") == element and t >= since]

    def test_failing_close_and_a_format_change_play_on(self):
        # Two rates in one folder: every track change closes the device and reopens it.
        self.media_folder("mixed", 440, tracks=1, seconds=1.0, rate=44100)
        media = os.path.join(self.folder, "media", "mixed")
        make_tone(os.path.join(media, "other.mp3"), 660, 1.0, rate=48000)
        run = self.start(self.config("mixed", 60), extra_env={"VCARD_FAIL_CLOSE": "*"})

        def opens():
            return len(events(run.card, "channel1", "open"))
        self.assertTrue(wait_until(lambda: opens() >= 5, 20), run.output()[-3000:])
        self.assertIsNone(run.proc.poll(), run.output()[-3000:])
        failed = [f for _, _, _, f in events(run.card, "channel1", "close")]
        self.assertTrue(all(f.get("failed") == "1" for f in failed), failed)
        self.stop(run)

    def test_card_gone_and_back(self):
        self.media_folder("a", 440, tracks=2, seconds=3.0)
        run = self.start(self.config("a", 60), extra_env={"VCARD_VANISH": "channel1:2000"})
        self.check_gone_and_back(run)

    def test_card_gone_and_back_under_a_stream(self):
        www = os.path.join(self.folder, "www")
        os.makedirs(www)
        make_tone(os.path.join(www, "tone.mp3"), 550, 40.0, rate=RATE)
        port = free_port()
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
             "--directory", www], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            config = "volume=60\nmedia_type=stream\nurl=http://127.0.0.1:%d/tone.mp3\n" % port
            run = self.start(config, extra_env={"VCARD_VANISH": "channel1:4000"})
            self.check_gone_and_back(run)
        finally:
            server.terminate()
            server.wait(10)

    def check_gone_and_back(self, run):
        gone = os.path.join(run.card, "channel1.gone")
        self.assertTrue(wait_until(lambda: os.path.exists(gone), 15), run.output()[-3000:])
        # gone for a while: the player reports it and keeps running
        time.sleep(1.5)
        self.assertIsNone(run.proc.poll(), run.output()[-3000:])
        self.assertIn("error code (-1006)", run.output())  # EPLAYER_PCMAUDIO_OUT
        wav = os.path.join(run.card, "channel1.wav")
        size_when_back = os.path.getsize(wav)
        back = monotonic_now()
        os.unlink(gone)

        def played_since_back():  # half a second of sound from a new open
            opens = [f for t, _, _, f in events(run.card, "channel1", "open") if t >= back]
            return bool(opens) and os.path.getsize(wav) > size_when_back + RATE * 2
        self.assertTrue(wait_until(played_since_back, 15), run.output()[-3000:])
        self.stop(run)


if __name__ == "__main__":
    unittest.main(verbosity=2)
