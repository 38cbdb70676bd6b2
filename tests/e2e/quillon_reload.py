#!/usr/bin/env python3
"""Reading the configuration again on SIGHUP, with the real quillon on the virtual card.

Each test starts one quillon in a temporary folder (see quillon_e2e.QuillonRun), rewrites
its configuration while it plays and sends SIGHUP; the card's recording and the status
file show what was played. Streams come from python's http.server on 127.0.0.1.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import glob
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quillon_e2e import (ASOUND_CONF, QUILLON_BIN, E2ETestCase, StatusPoller,  # noqa: E402
                         free_port, make_tone, tone_sequence, wait_until)

# All media at the rate of the stream output, so that the card keeps one recording.
RATE = 48000


def recording(card):
    """Tone runs of everything channel1 played, oldest recording first."""
    def number(path):
        match = re.search(r"channel1-(\d+)\.wav$", path)
        return int(match.group(1)) if match else 1 << 30
    runs = []
    for path in sorted(glob.glob(os.path.join(card, "channel1*.wav")), key=number):
        runs.extend(f for f, _ in tone_sequence(path))
    return runs


def order_of(heard, tones, delta=25):
    """The tones in the order they were first heard, each counted once per run."""
    order = []
    for freq in heard:
        for tone in tones:
            if abs(freq - tone) <= delta and (not order or order[-1] != tone):
                order.append(tone)
    return order


class Reload(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.terminate()
            server.wait(10)
        super().tearDown()

    def media_folder(self, name, freq, tracks=2, seconds=2.0):
        media = os.path.join(self.folder, "media", name)
        os.makedirs(media)
        for k in range(tracks):
            make_tone(os.path.join(media, "%s%d.mp3" % (name, k)), freq, seconds, rate=RATE)
        return "volume=70\nmedia_type=local\nmedia_folder=%s\n" % name

    def stream(self, freq, seconds=3.0):
        www = os.path.join(self.folder, "www")
        os.makedirs(www)
        make_tone(os.path.join(www, "tone.mp3"), freq, seconds, rate=RATE)
        port = free_port()
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", str(port), "--bind", "127.0.0.1",
             "--directory", www], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.servers.append(server)
        url = "http://127.0.0.1:%d/tone.mp3" % port
        return "volume=70\nmedia_type=stream\nurl=%s\n" % url, url

    def write_config(self, run, text):
        # Replaced, not rewritten in place: a reader never sees half a file.
        temp = run.conf + ".new"
        with open(temp, "w") as f:
            f.write(text)
        os.rename(temp, run.conf)

    def reload(self, run, text):
        self.write_config(run, text)
        run.proc.send_signal(signal.SIGHUP)

    @staticmethod
    def playing(poller, predicate):
        return any(v["m_player_state"] == "1" and predicate(v) for v in poller.seen)

    @staticmethod
    def wav_seconds(run):
        path = os.path.join(run.card, "channel1.wav")
        return (os.path.getsize(path) - 44) / (RATE * 4.0) if os.path.exists(path) else 0.0

    def wait_sound(self, run, seconds, timeout=30):
        """Waits until the card recorded `seconds` more than now."""
        start = self.wav_seconds(run)
        return wait_until(lambda: self.wav_seconds(run) >= start + seconds, timeout)

    def finish(self, run, poller):
        status = run.interrupt()
        poller.stop()
        out = run.output()
        self.assertEqual(status, 2, out[-3000:])
        self.assertEqual(out.count("Starting Quillon v1.1"), 1, out[-3000:])
        self.assertEqual(poller.torn, [])
        return out

    def test_folder_stream_folder_in_one_process(self):
        first = self.media_folder("a", 440)
        stream, url = self.stream(550)
        last = self.media_folder("b", 990)
        run = self.start(first, speed="4")
        pid = run.proc.pid
        poller = StatusPoller(run.status)
        poller.start()
        out = run.output
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_curr_song_name"].startswith("a")), 30), out()[-3000:])
        self.assertTrue(self.wait_sound(run, 3), out()[-3000:])

        self.reload(run, stream)
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_playlist_name"] == url), 30), out()[-3000:])
        self.assertTrue(self.wait_sound(run, 4), out()[-3000:])
        # The stream's health file appears while it plays ...
        health = run.status + ".health"
        self.assertTrue(wait_until(lambda: os.path.exists(health), 10), out()[-3000:])

        self.reload(run, last)
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_curr_song_name"].startswith("b")), 30), out()[-3000:])
        # ... and goes once the process plays local files again.
        self.assertTrue(wait_until(lambda: not os.path.exists(health), 10), out()[-3000:])
        self.assertTrue(self.wait_sound(run, 3), out()[-3000:])
        self.assertIsNone(run.proc.poll())
        self.assertEqual(run.proc.pid, pid)
        text = self.finish(run, poller)

        self.assertEqual(text.count("Switching to "), 2, text[-3000:])
        heard = recording(run.card)
        self.assertEqual(order_of(heard, (440, 550, 990)), [440, 550, 990], heard)
        # The status file followed: the last playing state names the second folder's songs.
        last_playing = [v for v in poller.seen if v["m_player_state"] == "1"][-1]
        self.assertTrue(last_playing["m_curr_song_name"].startswith("b"), poller.seen[-5:])
        self.assertEqual(last_playing["m_playlist_name"], "p.m3u")

    def test_broken_configuration_keeps_the_item_and_says_why(self):
        first = self.media_folder("a", 440)
        later = self.media_folder("b", 990)
        run = self.start(first, speed="4")
        poller = StatusPoller(run.status)
        poller.start()
        out = run.output
        self.assertTrue(wait_until(lambda: self.playing(poller, lambda v: True), 30),
                        out()[-3000:])
        cases = (
            ("media_type=local\nmedia_folder=nowhere\n", "the media folder cannot be opened",
             "-1104"),
            ("media_type=stream\nurl=\n", "a stream is configured without url", "-1103"),
            (None, "the configuration file cannot be read", "-1101"),
        )
        for text, why, code in cases:
            with self.subTest(why):
                if text is None:
                    os.unlink(run.conf)
                    run.proc.send_signal(signal.SIGHUP)
                else:
                    self.reload(run, text)
                said = "The configuration cannot be used (%s): p.m3u plays on." % why
                self.assertTrue(wait_until(lambda: said in out(), 15), out()[-3000:])
                self.assertTrue(wait_until(lambda: any(v["error"] == code for v in poller.seen),
                                           10), poller.seen[-5:])
                # Sound goes on, and it is still the first folder.
                self.assertTrue(self.wait_sound(run, 2), out()[-3000:])
        self.assertIsNone(run.proc.poll())
        self.assertNotIn("Switching to ", out())
        self.assertEqual(set(order_of(recording(run.card), (440, 990))), {440})

        # A usable configuration afterwards switches and clears the error.
        self.reload(run, later)
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_curr_song_name"].startswith("b") and v["error"] == "no error"),
            30), poller.seen[-5:])
        self.finish(run, poller)

    def test_sighup_bursts_at_start_while_playing_and_at_the_end(self):
        configs = [self.media_folder(name, freq) for name, freq in
                   (("a", 440), ("b", 660), ("c", 770), ("d", 990))]
        run = self.start(configs[0], speed="4")
        poller = StatusPoller(run.status)
        poller.start()
        out = run.output
        # During start-up: taken once the player runs, nothing changed.
        self.assertTrue(wait_until(lambda: "Starting Quillon" in out(), 10), out())
        run.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "The configuration is unchanged, playing on." in out(),
                                   20), out()[-3000:])
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_curr_song_name"].startswith("a")), 30), out()[-3000:])

        # A burst while playing: the last configuration wins.
        for text in configs[1:] + [configs[1], configs[3]]:
            self.reload(run, text)
            time.sleep(0.05)
        for _ in range(5):
            run.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: self.playing(
            poller, lambda v: v["m_curr_song_name"].startswith("d")), 30), out()[-3000:])
        # Settled: nothing else is switched to afterwards.
        time.sleep(2.0)
        switches = out().count("Switching to ")
        self.assertTrue(self.wait_sound(run, 2), out()[-3000:])
        self.assertEqual(out().count("Switching to "), switches)
        last_playing = [v for v in poller.seen if v["m_player_state"] == "1"][-1]
        self.assertTrue(last_playing["m_curr_song_name"].startswith("d"), poller.seen[-5:])
        self.assertEqual(order_of(recording(run.card), (440, 660, 770, 990))[-1], 990)

        # During shutdown: SIGHUP right behind SIGINT changes nothing of the end.
        run.proc.send_signal(signal.SIGINT)
        run.proc.send_signal(signal.SIGHUP)
        status = run.wait(20)
        poller.stop()
        self.assertEqual(status, 2, out()[-3000:])
        self.assertIn("Interrupt signal (2) received.", out())
        self.assertEqual(out().count("Starting Quillon v1.1"), 1)


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", QUILLON_BIN), ("VCARD_ASOUND_CONF", ASOUND_CONF)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
