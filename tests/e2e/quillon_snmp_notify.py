#!/usr/bin/env python3
"""The agent's notifications about a real quillon on the virtual card.

Starts a real snmptrapd (free port), a real snmpd as AgentX master whose trap2sink names
it, the built tandril-snmp-agent with the player's status file as channel 1, and quillon
playing a stream from the loopback HTTP test server: the stream plays, its server dies
and comes back, then the player is killed with SIGKILL. Each change reaches snmptrapd
once, with its bindings, within 3 s of the moment the agent could see it.

Environment (set by CTest): QUILLON_BIN, AGENT_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER,
TANDRIL_ENTERPRISE_NUMBER.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from quillon_e2e import (ASOUND_CONF, HTTP_SERVER, QUILLON_BIN, HttpTestServer,  # noqa: E402
                         QuillonRun, make_tone, wait_until)
from quillon_snmp import AGENT_BIN, ENTERPRISE, Snmp, free_udp_port  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "snmp"))
import snmptrapd  # noqa: E402

NOTIFY = "1.3.6.1.4.1.%s.4.0." % ENTERPRISE
STATE_CHANGED, STREAM_TROUBLE, NOT_RUNNING = NOTIFY + "1", NOTIFY + "3", NOTIFY + "4"
CELL = "1.3.6.1.4.1.%s.2.1.1.%%d.1" % ENTERPRISE
STATE, SONG, PLAYLIST, LAST_ERROR, UNDERRUNS, RECONNECTS, REASON = 2, 3, 4, 5, 9, 13, 15
STALE_S = 8  # above the player's 5 s touch, short for the test
# The agent reads once a second and a phase must hold 2 s; a little for the loaded machine.
LATENCY_S = 3.5


class TrapLog:
    """snmptrapd on 127.0.0.1, one line per notification in its log."""

    def __init__(self, folder):
        self.folder = folder
        for _ in range(3):
            self.port = free_udp_port()
            self.proc, self.log = snmptrapd.start(folder, self.port)
            if wait_until(lambda: self.proc.poll() is not None or snmptrapd.started(self.log),
                          10) and self.proc.poll() is None:
                break
            self.stop()
        else:
            raise RuntimeError("snmptrapd did not start")
        self.traps = []
        self.read = 0
        self.lock = threading.Lock()
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self.follow, daemon=True)
        self.thread.start()

    def text(self):
        return snmptrapd.read(self.log)

    def follow(self):
        """Stamps each notification with the wall time it was first read (every 50 ms)."""
        while not self.stop_flag.wait(0.05):
            text = self.text()
            now = time.time()
            while True:
                end = text.find("\n", self.read)
                if end < 0:
                    break
                line, self.read = text[self.read:end], end + 1
                if snmptrapd.is_notification(line):
                    with self.lock:
                        self.traps.append((now, snmptrapd.parse(line)))

    def sent(self, oid=None):
        """[(time, bindings)] of the agent's notifications (or those of one kind)."""
        with self.lock:
            return [(t, b) for t, b in self.traps
                    if b.get(snmptrapd.TRAP_OID, "").startswith(oid or NOTIFY)]

    def stop(self):
        if getattr(self, "stop_flag", None) is not None:
            self.stop_flag.set()
            self.thread.join()
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class StateLog(threading.Thread):
    """Reads the status file every 20 ms and keeps each state change with its wall time."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path = path
        self.changes = []
        self.stop_flag = threading.Event()

    def run(self):
        while not self.stop_flag.wait(0.02):
            try:
                with open(self.path) as f:
                    state = int(json.loads(f.read())["m_player_state"])
            except (OSError, ValueError, KeyError):
                continue
            if not self.changes or self.changes[-1][1] != state:
                self.changes.append((time.time(), state))

    def playing_changed_before(self, moment):
        """When the status file last went from playing to not playing, or back, before."""
        last = None
        for (t0, s0), (t1, s1) in zip(self.changes, self.changes[1:]):
            if t1 <= moment and (s0 == 1) != (s1 == 1):
                last = t1
        return last

    def stop(self):
        self.stop_flag.set()
        self.join()


class Notifications(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quillon-notify-")
        self.cleanups = []

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_server(self, routes, port=None):
        if port is None:
            server = HttpTestServer(self.folder, routes)
        else:
            server = HttpTestServer.__new__(HttpTestServer)
            server.routes_path = os.path.join(self.folder, "routes.json")
            server.port = port
            server.proc = subprocess.Popen(
                [sys.executable, HTTP_SERVER, "--routes", server.routes_path, "--port", str(port)],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.cleanups.append(lambda: server.proc.poll() is None and server.stop())
        return server

    def check_latency(self, states, trap_time, what):
        changed = states.playing_changed_before(trap_time)
        self.assertIsNotNone(changed, what)
        self.assertLessEqual(trap_time - changed, LATENCY_S, (what, states.changes))

    def test_stream_plays_fails_returns_and_the_player_is_killed(self):
        media = os.path.join(self.folder, "tone.mp3")
        make_tone(media, 550, seconds=3.0)
        routes = {"/live.mp3": {"headers": {"Content-Type": "audio/mpeg"}, "file": media,
                                "loop": True, "rate": 16000}}
        server = self.start_server(routes)
        url = "http://127.0.0.1:%d/live.mp3" % server.port
        traps = TrapLog(os.path.join(self.folder, "trapd"))
        self.cleanups.append(traps.stop)
        status = os.path.join(self.folder, "status")
        snmp = Snmp(os.path.join(self.folder, "snmp"), status,
                    snmpd_lines="trap2sink 127.0.0.1:%d public\n" % traps.port,
                    agent_args=["--player-stale", str(STALE_S)])
        self.cleanups.append(snmp.stop)
        states = StateLog(status)
        states.start()
        self.cleanups.append(states.stop)
        # Established before the player starts: no status file, nothing sent.
        time.sleep(1.5)

        run = QuillonRun(self.folder, "volume=60\nmedia_type=stream\nurl=%s\n" % url, speed="1")
        self.cleanups.append(run.kill)
        self.assertTrue(wait_until(lambda: any(
            b.get(CELL % STATE) == 1 for _, b in traps.sent(STATE_CHANGED)), 30),
            (traps.sent(), states.changes, run.output()[-2000:]))
        playing = [(t, b) for t, b in traps.sent(STATE_CHANGED) if b[CELL % STATE] == 1][0]
        self.check_latency(states, playing[0], "playing")
        self.assertEqual(playing[1][CELL % PLAYLIST], url)
        self.assertIn(CELL % SONG, playing[1])
        time.sleep(2)

        # The server dies: not playing, then after 10 s without audio the stream is in
        # trouble, with the player's error and its reconnections.
        died = time.time()
        server.proc.kill()
        server.proc.wait()
        self.assertTrue(wait_until(lambda: traps.sent(STREAM_TROUBLE), 25),
                        (traps.sent(), states.changes))
        trouble_at, trouble = traps.sent(STREAM_TROUBLE)[0]
        # The failure stands in the status file while the player retries: its code and why.
        self.assertLess(trouble[CELL % LAST_ERROR], 0, trouble)
        self.assertTrue(trouble[CELL % REASON], trouble)
        self.assertIn(CELL % UNDERRUNS, trouble)
        self.assertIn(CELL % RECONNECTS, trouble)
        stopped = [(t, b) for t, b in traps.sent(STATE_CHANGED) if t > died]
        self.assertTrue(stopped, (traps.sent(), states.changes))
        self.assertNotEqual(stopped[0][1][CELL % STATE], 1)
        self.check_latency(states, stopped[0][0], "stopped playing")
        silent_since = states.playing_changed_before(stopped[0][0])
        self.assertGreaterEqual(trouble_at - silent_since, 10.0 - 1.0, states.changes)
        self.assertLessEqual(trouble_at - silent_since, 10.0 + 2.0, states.changes)

        # Back: playing again.
        self.start_server(routes, port=server.port)
        back_from = time.time()
        self.assertTrue(wait_until(lambda: any(
            t > back_from and b[CELL % STATE] == 1 for t, b in traps.sent(STATE_CHANGED)), 40),
            (traps.sent(), states.changes, run.output()[-2000:]))
        back = [(t, b) for t, b in traps.sent(STATE_CHANGED) if t > back_from][-1]
        self.check_latency(states, back[0], "playing again")
        time.sleep(2)

        # Killed without a word: the file stays "playing" until it is stale; then
        # playerNotRunning, and no playerStateChanged for it.
        mtime = os.stat(status).st_mtime
        run.proc.kill()
        run.proc.wait()
        # The agent sees it once its whole-second clock is STALE_S past the file's.
        visible = int(mtime) + STALE_S + 1
        self.assertTrue(wait_until(lambda: traps.sent(NOT_RUNNING), STALE_S + 10),
                        (traps.sent(), states.changes))
        gone_at, gone = traps.sent(NOT_RUNNING)[0]
        self.assertEqual(gone[CELL % STATE], 7)
        self.assertLessEqual(gone_at - visible, LATENCY_S)
        self.assertGreaterEqual(gone_at, visible - 0.1)
        time.sleep(LATENCY_S)

        # Exactly once per change: the player's notifications alternate between playing
        # and not playing, one trouble for the one silence, one player gone.
        kinds = [(b["1.3.6.1.6.3.1.1.4.1.0"], b.get(CELL % STATE)) for _, b in traps.sent()]
        changes = [state == 1 for oid, state in kinds if oid == STATE_CHANGED]
        self.assertTrue(all(a != b for a, b in zip(changes, changes[1:])), kinds)
        self.assertEqual(changes[-1], True, kinds)
        self.assertEqual(len(traps.sent(STREAM_TROUBLE)), 1, kinds)
        self.assertEqual(len(traps.sent(NOT_RUNNING)), 1, kinds)
        self.assertEqual(kinds[-1][0], NOT_RUNNING, kinds)
        self.assertIsNone(snmp.agent.poll())


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", QUILLON_BIN), ("AGENT_BIN", AGENT_BIN),
                        ("VCARD_ASOUND_CONF", ASOUND_CONF), ("HTTP_TEST_SERVER", HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
