#!/usr/bin/env python3
"""What an operator reads about a playing stream, end to end.

Starts, per test: the quillon binary on the project's virtual sound card (as in
quillon_e2e.py) and the loopback HTTP test server as the stream's server, on 127.0.0.1
and a free port.

- Titles: stream titles that an old encoder sends in Latin-1 or Windows-1252 reach the
  status file as UTF-8 (percent-escaped like every song name there).
- Health: "<status file>.health" holds one valid line at every read while a stream is
  on, its counters move with what happens (a stalled server: an under-run and a
  reconnection; a card clock that runs fast or slow against an RTP sender (ffmpeg):
  frames duplicated or dropped), and it is gone once the program ends.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import json
import os
import socket
import subprocess
import sys
import threading
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402  (shares the program runner and servers)


def escaped(title):
    """A song name as the status file writes it: UTF-8, percent-escaped."""
    return urllib.parse.quote(title.encode("utf-8"), safe="-._~")


class StreamCase(e2e.E2ETestCase):
    def serve(self, routes):
        server = e2e.HttpTestServer(self.folder, routes)
        self.addCleanup(server.stop)
        return server

    def tone(self, seconds=3.0):
        path = os.path.join(self.folder, "stream.mp3")
        e2e.make_tone(path, 550, seconds=seconds)
        return path


class Titles(StreamCase):
    def test_latin1_and_windows1252_titles_arrive_as_utf8(self):
        # Latin-1 letters only, then Windows-1252's own punctuation.
        titles = ["Café Noël à Zürich", "Naïve – “Live” ™"]
        server = self.serve({"/radio": {
            "file": self.tone(), "loop": True, "icy": True, "rate": 16000,
            "titles": titles, "title_blocks": 8, "title_encoding": "cp1252"}})
        url = "http://127.0.0.1:%d/radio" % server.port
        run = self.start("volume=60\nmedia_type=Stream\nurl=%s\nbuffer_ms=500\n" % url, speed="1")
        poller = e2e.StatusPoller(run.status)
        poller.start()
        try:
            for title in titles:
                seen = e2e.wait_until(lambda: any(v["m_curr_song_name"] == escaped(title)
                                                  for v in poller.seen), 30)
                self.assertTrue(seen, (title, poller.seen[-5:], run.output()[-2000:]))
        finally:
            run.interrupt()
            poller.stop()
        self.assertEqual(poller.torn, [])
        # Nothing but UTF-8 ever reached the file.
        for value in poller.seen:
            urllib.parse.unquote(value["m_curr_song_name"], errors="strict")



HEALTH_MEMBERS = ["time", "buffer_ms", "target_ms", "underruns", "duplicated_frames",
                  "dropped_frames", "lost_packets", "foreign_packets", "reconnects",
                  "stream_age_s"]


class HealthPoller(threading.Thread):
    """Reads the health file every 50 ms; every read that finds it must hold one complete
    line with every documented member as an integer, in the documented order."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.readings = []
        self.bad = []
        self.stop_flag = threading.Event()

    def run(self):
        while not self.stop_flag.wait(0.05):
            try:
                with open(self.path, "rb") as f:
                    text = f.read().decode("utf-8", "replace")
            except FileNotFoundError:
                continue
            try:
                value = json.loads(text)
                if not text.endswith("}\n") or text.count("\n") != 1:
                    raise ValueError("not one line")
                if list(value) != HEALTH_MEMBERS or \
                        not all(type(v) is int and v >= 0 for v in value.values()):
                    raise ValueError("members")
            except ValueError:
                self.bad.append(text)
                continue
            self.readings.append(value)

    def seen(self, predicate):
        return any(predicate(v) for v in self.readings)

    def stop(self):
        self.stop_flag.set()
        self.join()


class Health(StreamCase):
    def watch(self, run):
        poller = HealthPoller(run.status + ".health")
        poller.start()
        self.addCleanup(poller.stop)
        return poller

    def test_stalled_server_gives_an_underrun_and_a_reconnect(self):
        # Ten seconds of audio at once, then the server stalls with the connection open:
        # the card plays the buffer out, and the source's time-out reconnects.
        server = self.serve({"/radio": {"file": self.tone(seconds=10.0), "stall_after": 160000}})
        url = "http://127.0.0.1:%d/radio" % server.port
        run = self.start("media_type=Stream\nurl=%s\n" % url, speed="4")
        poller = self.watch(run)
        recovered = e2e.wait_until(
            lambda: poller.seen(lambda v: v["underruns"] >= 1 and v["reconnects"] >= 1), 60)
        self.assertTrue(recovered, (poller.readings[-3:], run.output()[-3000:]))
        self.assertTrue(poller.seen(lambda v: v["target_ms"] == 5000 and v["buffer_ms"] > 0))
        ages = [v["stream_age_s"] for v in poller.readings]
        self.assertEqual(ages, sorted(ages), "one stream item: its age only grows")
        self.assertEqual(run.interrupt(), 2)
        poller.stop()
        self.assertEqual(poller.bad, [])
        self.assertFalse(os.path.exists(poller.path), "the health file outlived the program")
        # Nothing but the status file and the health file was left beside them.
        self.assertEqual([n for n in os.listdir(self.folder) if n.startswith("status.health")], [])

    def start_rtp(self, ppm, sub):
        """quillon on an RTP stream with the card's clock ppm off; the sender runs at the
        card's speed."""
        port = e2e.free_rtp_port()
        url = "rtp://127.0.0.1:%d" % port
        sender = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-readrate", "4",
             "-stream_loop", "-1", "-i", self.media, "-c:a", "copy", "-f", "rtp", url],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(sender.wait, 10)
        self.addCleanup(sender.terminate)
        saved = os.environ.get("VCARD_PPM")
        os.environ["VCARD_PPM"] = str(ppm)
        try:
            run = self.start("media_type=stream\nurl=%s\nbuffer_ms=500\n" % url, speed="4", sub=sub)
        finally:
            if saved is None:
                del os.environ["VCARD_PPM"]
            else:
                os.environ["VCARD_PPM"] = saved
        return run, self.watch(run)

    def test_card_clock_off_gives_duplicated_or_dropped_frames(self):
        # Long enough not to loop: the sender's pacing slips a little at every loop.
        self.media = self.tone(seconds=300.0)
        # A fast card drains the buffer: the level control adds frames; a slow one lets it
        # grow: frames are left out.
        fast, fast_health = self.start_rtp(8000, "fast")
        slow, slow_health = self.start_rtp(-8000, "slow")
        duplicated = e2e.wait_until(
            lambda: fast_health.seen(lambda v: v["duplicated_frames"] > 0), 90)
        dropped = e2e.wait_until(
            lambda: slow_health.seen(lambda v: v["dropped_frames"] > 0), 30)
        for run in (fast, slow):
            self.assertEqual(run.interrupt(), 2)
        self.assertTrue(duplicated, (fast_health.readings[-3:], fast.output()[-2000:]))
        self.assertTrue(dropped, (slow_health.readings[-3:], slow.output()[-2000:]))
        for health in (fast_health, slow_health):
            self.assertTrue(health.seen(lambda v: v["target_ms"] == 500))
            self.assertEqual(health.bad, [])
            self.assertFalse(os.path.exists(health.path))

class LossyRelay(threading.Thread):
    """Forwards RTP from a free port pair to the player's port, leaving out every n-th
    packet (a network that loses packets); RTCP is taken and dropped."""

    def __init__(self, target_port, every):
        super().__init__(daemon=True)
        self.port = e2e.free_rtp_port()
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind(("127.0.0.1", self.port))
        self.rtp.settimeout(0.2)
        self.rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtcp.bind(("127.0.0.1", self.port + 1))
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.target = ("127.0.0.1", target_port)
        self.every = every
        self.left_out = 0
        self.stop_flag = threading.Event()

    def run(self):
        n = 0
        while not self.stop_flag.is_set():
            try:
                data = self.rtp.recv(65536)
            except socket.timeout:
                continue
            n += 1
            if n % self.every == 0:
                self.left_out += 1
                continue
            self.out.sendto(data, self.target)

    def stop(self):
        self.stop_flag.set()
        self.join()
        for sock in (self.rtp, self.rtcp, self.out):
            sock.close()


class Losses(StreamCase):
    def test_packets_lost_on_the_way_are_counted(self):
        port = e2e.free_rtp_port()
        relay = LossyRelay(port, 25)
        relay.start()
        self.addCleanup(relay.stop)
        sender = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i",
             self.tone(seconds=120.0), "-c:a", "copy", "-f", "rtp",
             "rtp://127.0.0.1:%d" % relay.port],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(sender.wait, 10)
        self.addCleanup(sender.terminate)
        run = self.start("media_type=stream\nurl=rtp://127.0.0.1:%d\nbuffer_ms=500\n" % port,
                         speed="1")
        health = HealthPoller(run.status + ".health")
        health.start()
        self.addCleanup(health.stop)
        counted = e2e.wait_until(lambda: health.seen(lambda v: v["lost_packets"] >= 2), 30)
        self.assertEqual(run.interrupt(), 2)
        self.assertTrue(counted, (relay.left_out, health.readings[-3:], run.output()[-2000:]))
        # Never more than the relay left out (libavformat may give up a few more).
        last = health.readings[-1]
        self.assertLessEqual(last["lost_packets"], 4 * relay.left_out + 4)
        self.assertEqual(health.bad, [])


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF),
                        ("HTTP_TEST_SERVER", e2e.HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
