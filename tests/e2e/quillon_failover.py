#!/usr/bin/env python3
"""Backup sources with the real quillon on the virtual card.

Paced HTTP test servers (one per source, each its own tone) are killed and started again
on the same port to walk the chain url -> backup_url1 -> backup_url2 -> fallback_folder
down and back up; the card's recording shows which source played in which order, and the
status file and the health file show the same. The background tries run with
QUILLON_FAILOVER_TIME_SCALE=0.1 (1 s, 2 s, 4 s ... at most 18 s apart).

The walk down and up is also read over SNMP (snmpd and the agent on loopback): the players'
table's playerSource and playerSwitches columns.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER, AGENT_BIN,
TANDRIL_ENTERPRISE_NUMBER.
"""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quillon_e2e import (HTTP_SERVER, E2ETestCase, free_port, make_tone,  # noqa: E402
                         wait_until)
from quillon_reload import order_of, recording  # noqa: E402
from quillon_snmp import TABLE, Snmp  # noqa: E402

RATE = 48000
SPEED = 2
# 128 kbit/s MP3 is 16000 bytes per second of audio; the servers send 1.5 times what the
# card (at SPEED) plays, so that their buffers fill and stay full.
PACE = int(16000 * SPEED * 1.5)
BASE_MEMBERS = {"m_player_state", "m_curr_song_name", "m_playlist_name", "error"}


class Source:
    """A paced radio stream of one tone, killed and started again on the same port."""

    def __init__(self, folder, name, freq):
        self.folder = os.path.join(folder, name)
        os.makedirs(self.folder)
        tone = os.path.join(self.folder, "tone.mp3")
        make_tone(tone, freq, 4.0, rate=RATE)
        self.routes = os.path.join(self.folder, "routes.json")
        with open(self.routes, "w") as f:
            json.dump({"/live": {"headers": {"Content-Type": "audio/mpeg"}, "file": tone,
                                 "loop": True, "rate": PACE}}, f)
        self.port = free_port()
        self.url = "http://127.0.0.1:%d/live" % self.port
        self.proc = None

    def start(self):
        port_file = os.path.join(self.folder, "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        self.proc = subprocess.Popen(
            [sys.executable, HTTP_SERVER, "--routes", self.routes, "--port", str(self.port),
             "--port-file", port_file], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0, 10)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc = None


class Watcher(threading.Thread):
    """Keeps every distinct status line and every distinct source/switches of the health
    file; a status line that does not parse, or lacks a member of the design, is torn."""

    def __init__(self, status):
        super().__init__(daemon=True)
        self.status = status
        self.seen = []
        self.health = []
        self.torn = []
        self.stop_flag = threading.Event()

    @staticmethod
    def read(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return None

    def run(self):
        while not self.stop_flag.is_set():
            text = self.read(self.status)
            if text is not None:
                try:
                    value = json.loads(text)
                    if not BASE_MEMBERS <= set(value):
                        raise ValueError("members")
                    if not self.seen or self.seen[-1] != value:
                        self.seen.append(value)
                except ValueError:
                    self.torn.append(text)
            text = self.read(self.status + ".health")
            if text:
                try:
                    value = json.loads(text)
                    pair = (value.get("source"), value.get("switches"))
                    if not self.health or self.health[-1] != pair:
                        self.health.append(pair)
                except ValueError:
                    self.torn.append(text)
            time.sleep(0.02)

    def stop(self):
        self.stop_flag.set()
        self.join()

    def sources(self):
        """The "source" members in the order they changed."""
        out = []
        for value in self.seen:
            source = value.get("source")
            if not out or out[-1] != source:
                out.append(source)
        return out

    def playing(self, source):
        return any(v["m_player_state"] == "1" and v.get("source") == source for v in self.seen)


SOURCE, SWITCHES = 16, 17


class SnmpSampler(threading.Thread):
    """Reads playerSource and playerSwitches of channel 1 over and over; keeps every
    distinct pair."""

    def __init__(self, snmp):
        super().__init__(daemon=True)
        self.snmp = snmp
        self.pairs = []
        self.stop_flag = threading.Event()

    @staticmethod
    def number(text):
        return int(text.split()[-1]) if text else None

    def run(self):
        while not self.stop_flag.is_set():
            pair = (self.number(self.snmp.get("%s.%d.1" % (TABLE, SOURCE))),
                    self.number(self.snmp.get("%s.%d.1" % (TABLE, SWITCHES))))
            if None not in pair and (not self.pairs or self.pairs[-1] != pair):
                self.pairs.append(pair)
            time.sleep(0.2)

    def stop(self):
        self.stop_flag.set()
        self.join()


class Failover(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.sources = []
        os.environ["QUILLON_FAILOVER_TIME_SCALE"] = "0.1"

    def tearDown(self):
        for source in self.sources:
            source.kill()
        os.environ.pop("QUILLON_FAILOVER_TIME_SCALE", None)
        super().tearDown()

    def source(self, name, freq, running=True):
        source = Source(self.folder, name, freq)
        self.sources.append(source)
        if running:
            source.start()
        return source

    def fallback_folder(self, freq, tracks=2, seconds=3.0):
        media = os.path.join(self.folder, "media", "fallback")
        os.makedirs(media)
        for k in range(tracks):
            make_tone(os.path.join(media, "fb%d.mp3" % k), freq, seconds, rate=RATE)

    def finish(self, run, watcher):
        status = run.interrupt()
        watcher.stop()
        out = run.output()
        self.assertEqual(status, 2, out[-3000:])
        self.assertEqual(watcher.torn, [])
        return out

    def test_walks_down_the_chain_and_back_up(self):
        main = self.source("main", 440)
        b1 = self.source("b1", 660)
        b2 = self.source("b2", 880)
        self.fallback_folder(1100)
        run = self.start("volume=70\nmedia_type=stream\nurl=%s\nbackup_url1=%s\nbackup_url2=%s\n"
                         "fallback_folder=fallback\nfailover_s=2\n" % (main.url, b1.url, b2.url),
                         speed=str(SPEED))
        watcher = Watcher(run.status)
        watcher.start()
        out = run.output
        self.assertTrue(wait_until(lambda: watcher.playing("main"), 30), out()[-3000:])
        self.assertIn("BACKUP URL 1 is %s" % b1.url, out())
        snmp = Snmp(os.path.join(self.folder, "snmp"), run.status)
        self.addCleanup(snmp.stop)
        sampler = SnmpSampler(snmp)
        sampler.start()
        self.addCleanup(sampler.stop)
        time.sleep(1)

        # Down: each stream that goes away hands over to the next one that plays.
        for gone, reached, label in ((main, "backup1", b1.url), (b1, "backup2", b2.url),
                                     (b2, "fallback", os.path.join(self.folder, "media", "fallback") + "/")):
            gone.kill()
            self.assertTrue(wait_until(lambda: watcher.playing(reached), 40), out()[-3000:])
            self.assertIn("Switching to %s (" % label, out())
            time.sleep(1)

        # Up: backup2 is back, found by a background try; the folder ends its track first.
        b2.start()
        self.assertTrue(wait_until(lambda: "Back to %s." % b2.url in out(), 40), out()[-3000:])
        self.assertTrue(wait_until(lambda: watcher.playing("backup2"), 30), out()[-3000:])
        time.sleep(1)
        # Then the main stream: at once.
        main.start()
        self.assertTrue(wait_until(lambda: "Back to %s." % main.url in out(), 40), out()[-3000:])
        self.assertTrue(wait_until(lambda: watcher.playing("main")
                                   and watcher.sources()[-1] == "main", 30), out()[-3000:])
        self.assertTrue(wait_until(lambda: watcher.health and watcher.health[-1] == ("main", 5),
                                   10), watcher.health)
        time.sleep(2)
        self.assertTrue(wait_until(lambda: sampler.pairs and sampler.pairs[-1] == (1, 5), 10),
                        sampler.pairs)
        sampler.stop()
        text = self.finish(run, watcher)

        self.assertEqual(watcher.sources(),
                         ["main", "backup1", "backup2", "fallback", "backup2", "main"], watcher.seen)
        # The health file went the same way, one switch at a time (a reading each second
        # may miss a source that played for less than that).
        self.assertEqual(watcher.health[0], ("main", 0), watcher.health)
        self.assertEqual(watcher.health[-1], ("main", 5), watcher.health)
        names = ["main", "backup1", "backup2", "fallback", "backup2", "main"]
        for source, switches in watcher.health:
            self.assertEqual(names[switches], source, watcher.health)
        # And SNMP: main(1), backup1(2), backup2(3), fallback(4). The source comes from the
        # status file, the count from the health file written once a second: the count may
        # lag a switch by that second, never lead it.
        numbers = [1, 2, 3, 4, 3, 1]
        sources = [p for i, p in enumerate(sampler.pairs)
                   if i == 0 or sampler.pairs[i - 1][0] != p[0]]
        self.assertEqual([source for source, _ in sources], numbers, sampler.pairs)
        self.assertEqual(sampler.pairs[0], (1, 0), sampler.pairs)
        for source, switches in sampler.pairs:
            self.assertIn(source, numbers[switches:switches + 2], sampler.pairs)
        self.assertEqual([n for _, n in sampler.pairs], sorted(n for _, n in sampler.pairs))
        self.assertEqual(text.count("Switching to "), 3, text[-3000:])
        self.assertEqual(text.count("Back to "), 2, text[-3000:])
        heard = recording(run.card)
        self.assertEqual(order_of(heard, (440, 660, 880, 1100)), [440, 660, 880, 1100, 880, 440],
                         heard)
        # The folder's track played to its end before the return, not cut by it.
        before_return = text[:text.index("Back to %s." % b2.url)]
        last_end = before_return.rindex("NotifyTrackPlaybackFinished(fb")
        self.assertNotIn("partialy played", before_return[last_end:], before_return[last_end:])

    def test_sighup_reads_the_keys_and_zero_never_moves_on(self):
        main = self.source("main", 440, running=False)
        b1 = self.source("b1", 660)
        base = "volume=70\nmedia_type=stream\nurl=%s\nbackup_url1=%s\n" % (main.url, b1.url)
        run = self.start(base + "failover_s=0\n", speed=str(SPEED))
        watcher = Watcher(run.status)
        watcher.start()
        out = run.output
        # failover_s=0: the main stream is retried for ever, as without backups.
        self.assertTrue(wait_until(lambda: out().count("New state is 6") >= 3, 30), out()[-3000:])
        time.sleep(3)
        self.assertNotIn("Switching to ", out())
        self.assertTrue(all(v.get("source") == "main" for v in watcher.seen), watcher.seen)

        temp = run.conf + ".new"
        with open(temp, "w") as f:
            f.write(base + "failover_s=1\n")
        os.rename(temp, run.conf)
        run.proc.send_signal(signal.SIGHUP)
        self.assertTrue(wait_until(lambda: watcher.playing("backup1"), 30), out()[-3000:])
        self.assertIn("The backup sources changed, %s plays on." % main.url, out())
        self.assertIn("Switching to %s (" % b1.url, out())
        time.sleep(3)
        text = self.finish(run, watcher)
        self.assertEqual(text.count("Switching to "), 1, text[-3000:])
        self.assertEqual(set(order_of(recording(run.card), (440, 660))), {660})

    def test_without_backup_keys_the_files_are_as_before(self):
        main = self.source("main", 440)
        run = self.start("volume=70\nmedia_type=stream\nurl=%s\n" % main.url, speed=str(SPEED))
        watcher = Watcher(run.status)
        watcher.start()
        self.assertTrue(wait_until(lambda: any(v["m_player_state"] == "1" for v in watcher.seen),
                                   30), run.output()[-3000:])
        self.assertTrue(wait_until(lambda: len(watcher.health) > 0, 5))
        main.kill()
        self.assertTrue(wait_until(lambda: run.output().count("New state is 6") >= 2, 30))
        text = self.finish(run, watcher)
        self.assertTrue(all("source" not in v for v in watcher.seen), watcher.seen)
        self.assertEqual(set(watcher.health), {(None, None)})
        self.assertNotIn("Switching to ", text)
        self.assertNotIn("BACKUP URL", text)


if __name__ == "__main__":
    unittest.main()
