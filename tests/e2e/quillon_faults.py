#!/usr/bin/env python3
"""Fault cases of the quillon program as a separate process on the virtual sound card.

Each case starts the real program against a faulty stream (the loopback HTTP test server:
errors, redirect loops, a playlist that names itself, huge or stalled or trickling bodies,
random bytes, the largest ICY metadata block, a server killed and started again) or a
faulty media folder (5000 files, odd file names, a truncated MP3, an M4A with a damaged
index, a FIFO named like a track). In every case the program must keep running (or end
with a clear message), stop within 2 s of SIGINT with status 2, keep the status file valid
JSON at every read, and print no sanitizer report. Independent cases run at the same time.

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402  (shares the program runner and servers)

SIGINT_LIMIT_S = 2.0
SANITIZER_MARKS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")
EVENT = re.compile(r"New state is (\d+)|error code \((-?\d+)\)|"
                   r"(NotifyTrackPlaybackStarted\(\) for .* received)|"
                   r"(NotifyTrackPlaybackFinished\(.*\) received)")


def events_of(output):
    """The notifications in order: ("state", n), ("error", code), ("started",), ("finished",)."""
    result = []
    for match in EVENT.finditer(output):
        state, code, started, finished = match.groups()
        if state is not None:
            result.append(("state", int(state)))
        elif code is not None:
            result.append(("error", int(code)))
        elif started:
            result.append(("started",))
        else:
            result.append(("finished",))
    return result


def has_title(seen, escaped):
    return any(v["m_curr_song_name"] == escaped for v in seen)


def songs_played(seen):
    return {v["m_curr_song_name"] for v in seen if v["m_player_state"] == "1"}


def played_all(seen, names):
    """Whether every name was the song of a playing status."""
    return names <= songs_played(seen)


# Song names of untagged tracks as the status file writes them (percent-escaped paths).
HASH_SONG = ".%2F%23hash.mp3"
LEAD_SONG = ".%2F%20lead.mp3"


def peak_rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class Outcome:
    """What one run of the program showed."""

    def __init__(self, name):
        self.name = name
        self.alive_at_sigint = False
        self.exit_status = None
        self.stop_seconds = None
        self.output = ""
        self.seen = []
        self.torn = []
        self.reads = 0
        self.peak_rss_kib = 0
        self.extra = {}


def run_case(folder, name, config, duration, speed="1", during=None, until=None):
    """Runs the program with config for duration seconds (or until until(run, poller) holds,
    at most duration), calls during(run, poller) meanwhile, then sends SIGINT."""
    outcome = Outcome(name)
    run = e2e.QuillonRun(os.path.join(folder, name), config, speed)
    poller = e2e.StatusPoller(run.status)
    poller.start()
    try:
        if during:
            during(run, poller, outcome)
        deadline = time.monotonic() + duration
        while time.monotonic() < deadline and run.proc.poll() is None:
            if until and until(run, poller):
                break
            time.sleep(0.1)
        outcome.alive_at_sigint = run.proc.poll() is None
        outcome.peak_rss_kib = peak_rss_kib(run.proc.pid)
        start = time.monotonic()
        if outcome.alive_at_sigint:
            run.proc.send_signal(2)
        try:
            outcome.exit_status = run.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            run.kill()
            outcome.exit_status = None
        outcome.stop_seconds = time.monotonic() - start
    finally:
        poller.stop()
        run.kill()
    outcome.output = run.output()
    outcome.seen = poller.seen
    outcome.torn = poller.torn
    outcome.reads = poller.reads
    return outcome


class FaultCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-faults-")
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            if server.proc.poll() is None:
                server.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def server(self, routes, sub="http"):
        folder = os.path.join(self.folder, sub)
        os.makedirs(folder, exist_ok=True)
        server = e2e.HttpTestServer(folder, routes)
        self.servers.append(server)
        return server

    def run_parallel(self, cases):
        """cases: {name: kwargs of run_case}. Returns {name: Outcome}."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
            futures = {name: pool.submit(run_case, self.folder, name, **kwargs)
                       for name, kwargs in cases.items()}
            return {name: future.result() for name, future in futures.items()}

    def check_common(self, outcome):
        """What every case must show."""
        tail = outcome.output[-3000:]
        self.assertTrue(outcome.alive_at_sigint, "%s ended by itself: %s" % (outcome.name, tail))
        self.assertEqual(outcome.exit_status, 2, "%s: %s" % (outcome.name, tail))
        self.assertLess(outcome.stop_seconds, SIGINT_LIMIT_S, outcome.name)
        self.assertIn("Interrupt signal (2) received.", outcome.output, outcome.name)
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, outcome.output, "%s: %s" % (outcome.name, tail))
        self.assertEqual(outcome.torn, [], outcome.name)
        self.assertGreater(outcome.reads, 10, outcome.name)

    @staticmethod
    def states(outcome):
        return [v["m_player_state"] for v in outcome.seen]


class StreamFaults(FaultCase):
    def test_faulty_servers(self):
        media = os.path.join(self.folder, "tone.mp3")
        e2e.make_tone(media, 550, seconds=3.0)
        noise = os.path.join(self.folder, "noise.bin")
        with open(noise, "wb") as f:
            f.write(os.urandom(256 * 1024))
        # The largest block ICY can announce: 255 * 16 bytes, quotes and backslashes inside.
        frame = "StreamTitle='';StreamUrl='';"
        long_title = ('Q"\\' * 2000)[:255 * 16 - len(frame)]
        self.assertEqual(len(frame) + len(long_title), 4080)
        audio = {"Content-Type": "audio/mpeg"}
        m3u = {"Content-Type": "audio/x-mpegurl"}
        server = self.server({
            "/error500.mp3": {"status": 500, "body": "broken"},
            "/loop.mp3": {"status": 302,
                          "headers": {"Location": "http://127.0.0.1:{port}/loop.mp3"}},
            "/self.m3u": {"headers": m3u, "body": "http://127.0.0.1:{port}/self.m3u\n"},
            "/huge.m3u": {"headers": m3u, "body": "http://127.0.0.1:{port}/missing.mp3\n",
                          "body_size": 50 * 1000 * 1000},
            "/stall.mp3": {"headers": audio, "body": "x", "stall_after": 0},
            "/trickle.mp3": {"headers": audio, "file": media, "rate": 1},
            "/noise.mp3": {"headers": audio, "file": noise, "loop": True, "rate": 32000},
            "/icy.mp3": {"headers": audio, "file": media, "loop": True, "rate": 16000,
                         "icy": True, "metaint": 8192, "titles": [long_title],
                         "title_blocks": 1000},
        })
        base = "http://127.0.0.1:%d" % server.port

        def stream(path):
            return "volume=60\nmedia_type=stream\nurl=%s%s\nbuffer_ms=500\n" % (base, path)

        escaped_title = e2e.urllib.parse.quote(long_title, safe="-._~")

        def titled(_run, poller):
            return has_title(poller.seen, escaped_title)

        outcomes = self.run_parallel({
            "http404": dict(config=stream("/missing.mp3"), duration=8),
            "http500": dict(config=stream("/error500.mp3"), duration=8),
            "redirect_loop": dict(config=stream("/loop.mp3"), duration=8),
            "self_playlist": dict(config=stream("/self.m3u"), duration=10),
            "huge_playlist": dict(config=stream("/huge.m3u"), duration=10),
            "stall": dict(config=stream("/stall.mp3"), duration=6),
            "trickle": dict(config=stream("/trickle.mp3"), duration=6),
            "noise": dict(config=stream("/noise.mp3"), duration=10),
            "icy_4080": dict(config=stream("/icy.mp3"), duration=25, until=titled),
        })
        for name, outcome in outcomes.items():
            with self.subTest(name):
                self.check_common(outcome)

        for name in ("http404", "http500", "redirect_loop"):
            with self.subTest(name):
                # The status file holds an error only until the next notification; the
                # console keeps them all.
                self.assertIn(("error", -1002), events_of(outcomes[name].output),
                              outcomes[name].output[-2000:])
        with self.subTest("huge_playlist"):
            # Only the beginning of the body is read, whatever the server sends.
            self.assertLess(outcomes["huge_playlist"].peak_rss_kib, 400 * 1024)
        with self.subTest("icy_4080"):
            self.assertTrue(has_title(outcomes["icy_4080"].seen, escaped_title),
                            outcomes["icy_4080"].output[-2000:])
        with self.subTest("stall"):
            # Stopped while the read is blocked: nothing was ever played.
            self.assertNotIn("1", self.states(outcomes["stall"]))

    def test_server_killed_and_back_resumes_by_itself(self):
        media = os.path.join(self.folder, "tone.mp3")
        e2e.make_tone(media, 550, seconds=3.0)
        routes = {"/live.mp3": {"headers": {"Content-Type": "audio/mpeg"}, "file": media,
                                "loop": True, "rate": 16000}}
        server = self.server(routes)
        url = "http://127.0.0.1:%d/live.mp3" % server.port
        marks = {}

        def kill_and_restart(run, poller, outcome):
            self.assertTrue(e2e.wait_until(
                lambda: any(v["m_player_state"] == "1" for v in poller.seen), 30),
                run.output()[-2000:])
            time.sleep(2)
            marks["killed_at_output"] = len(run.output())
            server.proc.kill()
            server.proc.wait()
            time.sleep(10)
            wav = os.path.join(run.card, "channel1.wav")
            again = e2e.HttpTestServer.__new__(e2e.HttpTestServer)
            again.routes_path = server.routes_path
            again.proc = subprocess.Popen(
                [sys.executable, e2e.HTTP_SERVER, "--routes", server.routes_path,
                 "--port", str(server.port)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.servers.append(again)
            marks["wav_at_restart"] = os.path.getsize(wav)
            resumed = e2e.wait_until(
                lambda: run.output().count("New state is 1,") >= 2, 30)
            marks["resumed"] = resumed
            # Two more seconds of sound at the device (48000 Hz stereo, 16 bits).
            if resumed:
                e2e.wait_until(lambda: os.path.getsize(wav) >
                               marks["wav_at_restart"] + 48000 * 4 * 2, 10)
            marks["wav_at_end"] = os.path.getsize(wav)

        outcome = run_case(self.folder, "killed", "volume=60\nmedia_type=stream\nurl=%s\n" % url,
                           duration=0, during=kill_and_restart)
        self.check_common(outcome)
        self.assertTrue(marks.get("resumed"), outcome.output[-3000:])
        self.assertGreater(marks["wav_at_end"], marks["wav_at_restart"] + 48000 * 4 * 2)

        # After the loss: the track closed (after a read error, or as an ended stream),
        # then connection attempts, each failing one with its error and the wait state,
        # until the stream buffers and plays again (and idle once SIGINT stopped it).
        after = events_of(outcome.output[marks["killed_at_output"]:])
        states = "".join(str(e[1]) for e in after if e[0] == "state")
        self.assertRegex(states, r"^4(64)*510?$", after)
        first_state = next(i for i, e in enumerate(after) if e[0] == "state")
        self.assertEqual(after[first_state - 1], ("finished",), after)
        self.assertTrue(all(e in (("finished",), ("error", -1003)) for e in after[:first_state]),
                        after)
        for i, event in enumerate(after):
            if event == ("state", 6):
                self.assertEqual(after[i - 1], ("error", -1002), after)
        started = after.index(("started",))
        self.assertEqual(after[started - 1], ("state", 5), after)
        self.assertEqual(after[started + 1], ("state", 1), after)
        # The status file went the same way: playing, connecting and waiting, playing
        # again without an error.
        playing = [i for i, v in enumerate(outcome.seen) if v["m_player_state"] == "1"]
        self.assertGreaterEqual(len(playing), 2, outcome.seen)
        between = {v["m_player_state"] for v in outcome.seen[playing[0]:playing[-1]]}
        self.assertTrue({"4", "6"} <= between, outcome.seen)
        self.assertEqual(outcome.seen[playing[-1]]["error"], "no error")

    def test_url_with_quote_and_backslash_keeps_the_status_file_valid(self):
        media = os.path.join(self.folder, "tone.mp3")
        e2e.make_tone(media, 550, seconds=3.0)
        server = self.server({"/live.mp3": {"headers": {"Content-Type": "audio/mpeg"},
                                            "file": media, "loop": True, "rate": 16000}})
        url = 'http://127.0.0.1:%d/live.mp3?a="b"\\c' % server.port

        def playing(_run, poller):
            return any(v["m_player_state"] == "1" for v in poller.seen) or poller.torn

        outcome = run_case(self.folder, "quoted", "media_type=stream\nurl=%s\n" % url,
                           duration=20, until=playing)
        self.check_common(outcome)
        self.assertTrue(any(v["m_playlist_name"] == url for v in outcome.seen), outcome.seen)


class MediaFolderFaults(FaultCase):
    def media(self, name):
        folder = os.path.join(self.folder, name, "media", "tracks")
        os.makedirs(folder)
        return folder

    def test_faulty_media_folders(self):
        tone = os.path.join(self.folder, "tone.mp3")
        e2e.make_tone(tone, 440, seconds=1.0)

        many = self.media("many")
        for i in range(5000):
            os.link(tone, os.path.join(many, "track%04d.mp3" % i))

        odd = self.media("odd")
        odd_names = [b'quote "it".mp3', b"new\nline.mp3", b"latin \xe9\xff.mp3",
                     b"back\\slash.mp3", b"tab\there.mp3", b"good.mp3", b"#hash.mp3",
                     b" lead.mp3", b"trail.mp3 "]
        for name in odd_names:
            os.link(tone, os.path.join(os.fsencode(odd), name))

        damaged = self.media("damaged")
        with open(tone, "rb") as f:
            data = f.read()
        # Cut in the middle of a frame, past the first few frames.
        with open(os.path.join(damaged, "truncated.mp3"), "wb") as f:
            f.write(data[:len(data) // 2 + 77])
        m4a = os.path.join(damaged, "broken.m4a")
        subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
                        "-f", "lavfi", "-i", "sine=frequency=660:duration=1",
                        "-c:a", "aac", "-f", "ipod", m4a], check=True)
        damage_index(m4a)
        shutil.copy(tone, os.path.join(damaged, "good.mp3"))
        # A playlist of our own, so that the M4A is listed too (it is kept as it is).
        with open(os.path.join(damaged, "p.m3u"), "w") as f:
            f.write("truncated.mp3\nbroken.m4a\ngood.mp3\n")

        # A FIFO nobody writes to (as a hung network file system would behave), listed first.
        fifo = self.media("fifo")
        os.mkfifo(os.path.join(fifo, "blocked.mp3"))
        shutil.copy(tone, os.path.join(fifo, "good.mp3"))
        with open(os.path.join(fifo, "p.m3u"), "w") as f:
            f.write("blocked.mp3\ngood.mp3\n")

        def local(_name):
            return "volume=60\nmedia_type=local\nmedia_folder=tracks\n"

        def played(names):
            return lambda _run, poller: played_all(poller.seen, names)

        # Each case's media root is media/ in its own run folder.
        outcomes = self.run_parallel({
            "many": dict(config=local("many"), duration=20, speed="4",
                         until=lambda _run, poller: len(songs_played(poller.seen)) >= 2),
            "odd": dict(config=local("odd"), duration=25, speed="4",
                        until=played({"good.mp3", HASH_SONG, LEAD_SONG})),
            "damaged": dict(config=local("damaged"), duration=25, speed="4",
                            until=played({"good.mp3"})),
            "fifo": dict(config=local("fifo"), duration=20, speed="4",
                         until=played({"good.mp3"})),
        })
        for name, outcome in outcomes.items():
            with self.subTest(name):
                self.check_common(outcome)
                self.assertTrue(
                    any(v["m_player_state"] == "1" for v in outcome.seen), outcome.output[-2000:])

        with open(os.path.join(many, "p.m3u")) as f:
            self.assertEqual(sum(1 for _ in f), 5000)
        with self.subTest("odd names played"):
            # Names that a playlist line would lose (a leading "#" or blank) are written as
            # paths relative to the folder; a trailing blank cannot be written at all.
            self.assertTrue(played_all(outcomes["odd"].seen, {"good.mp3", HASH_SONG, LEAD_SONG}),
                            outcomes["odd"].seen)
            with open(os.path.join(odd, "p.m3u"), "rb") as f:
                lines = f.read().split(b"\n")
            self.assertIn(b"./#hash.mp3", lines)
            self.assertNotIn(b"trail.mp3 ", lines)
            self.assertIn("Left out of the playlist (a playlist line cannot hold its name): "
                          "trail.mp3 \n", outcomes["odd"].output)
        with self.subTest("fifo"):
            # Refused at once as a track that cannot be opened; the next one plays.
            fifo_run = outcomes["fifo"]
            self.assertTrue(played_all(fifo_run.seen, {"good.mp3"}), fifo_run.output[-3000:])
            self.assertIn(("error", -1001), events_of(fifo_run.output))
        with self.subTest("damaged"):
            self.assertTrue(played_all(outcomes["damaged"].seen, {"good.mp3"}),
                            outcomes["damaged"].output[-3000:])


def damage_index(path):
    """Overwrites the sample-size and chunk-offset tables of an M4A file with garbage."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        for box in (b"stsz", b"stco"):
            at = data.find(box)
            if at < 0:
                continue
            size = int.from_bytes(data[at - 4:at], "big")
            start, end = at + 12, at - 4 + size
            data[start:end] = bytes((i * 97 + 13) & 0xFF for i in range(end - start))
        f.seek(0)
        f.write(data)


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF),
                        ("HTTP_TEST_SERVER", e2e.HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
