#!/usr/bin/env python3
"""Verified HTTPS and failure reasons, through the quillon program on the virtual card.

Starts HTTPS test servers on 127.0.0.1 with certificates the test makes with openssl
(tests/support/http/make_test_certs.sh): a chain only a private CA vouches for, a wrong
host name, an expired certificate; a plain HTTP server that redirects to one of them and
answers 404; then quillon against each (configurations with and without ca_file, and with
tls_verify=no), all runs at the same time. A refused server plays nothing, and the console,
the log (mirrored to the output) and every status line while the player retries say why;
trusted servers play. The same for the HTTP status, a refused connection, a host name that
does not resolve and a time-out. Last, snmpd and the agent serve the reason in the players'
table.

Environment (set by CTest): QUILLON_BIN, AGENT_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quillon_e2e as e2e  # noqa: E402
import quillon_snmp as snmp  # noqa: E402

MAKE_CERTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "http",
                          "make_test_certs.sh")
REASON, LAST_ERROR = 15, 5


class Outcome:
    def __init__(self, run, poller):
        self.output = run.output()
        self.seen = poller.seen
        self.torn = poller.torn

    def played(self):
        return any(v["m_player_state"] == "1" for v in self.seen)

    def failing(self):
        """The status lines from the first that carried an error on."""
        start = next((i for i, v in enumerate(self.seen) if v["error"] != "no error"), None)
        return [] if start is None else self.seen[start:]


def run_player(folder, config, until, limit):
    """Runs quillon with config until until(poller) holds (at most limit seconds)."""
    run = e2e.QuillonRun(folder, config, speed="1")
    poller = e2e.StatusPoller(run.status)
    poller.start()
    try:
        e2e.wait_until(lambda: until(poller) or run.proc.poll() is not None, limit)
    finally:
        run.interrupt()
        poller.stop()
    return Outcome(run, poller)


def retried(times):
    """Until the player waited for its next attempt that many times."""
    return lambda poller: sum(v["m_player_state"] == "6" for v in poller.seen) >= times


def playing(poller):
    return any(v["m_player_state"] == "1" for v in poller.seen)


class Trust(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ["QUILLON_LOG_STDERR"] = "1"
        cls.folder = tempfile.mkdtemp(prefix="quillon-trust-")
        certs = os.path.join(cls.folder, "certs")
        subprocess.run([MAKE_CERTS, certs], check=True)
        cls.ca = os.path.join(certs, "ca.pem")
        media = os.path.join(cls.folder, "tone.mp3")
        e2e.make_tone(media, 550, seconds=2.0)
        routes = {
            "/live.mp3": {"headers": {"Content-Type": "audio/mpeg"}, "file": media,
                          "loop": True, "rate": 16000},
            "/busy": {"status": 503},
            "/silent": {"headers": {"Content-Type": "audio/mpeg"}, "body": "ID3",
                        "stall_for_icy": True},
        }
        cls.servers = {}
        for name in ("good", "wrong", "expired"):
            sub = os.path.join(cls.folder, name)
            os.makedirs(sub)
            cls.servers[name] = e2e.HttpTestServer(
                sub, routes, tls=(os.path.join(certs, name + ".pem"),
                                  os.path.join(certs, name + ".key")))
        plain = os.path.join(cls.folder, "plain")
        os.makedirs(plain)
        cls.servers["plain"] = e2e.HttpTestServer(plain, {
            "/to_wrong": {"status": 302, "headers": {"Location": cls.url("wrong", "/live.mp3")}},
        })

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)
        del os.environ["QUILLON_LOG_STDERR"]

    @classmethod
    def url(cls, name, path):
        scheme = "http" if name == "plain" else "https"
        return "%s://127.0.0.1:%d%s" % (scheme, cls.servers[name].port, path)

    def config(self, url, extra=""):
        return "volume=60\nmedia_type=stream\nurl=%s\n%s" % (url, extra)

    def run_all(self, cases):
        """cases: {name: (config, until, limit)}; all at once. {name: Outcome}."""
        with concurrent.futures.ThreadPoolExecutor(max_workers=len(cases)) as pool:
            futures = {name: pool.submit(run_player, os.path.join(self.folder, "run-" + name),
                                         *case) for name, case in cases.items()}
            return {name: future.result() for name, future in futures.items()}

    def assert_refused_because(self, outcome, reason, code="-1002"):
        tail = outcome.output[-3000:]
        self.assertFalse(outcome.played(), tail)
        self.assertNotIn("NotifyTrackPlaybackStarted", outcome.output)
        failing = outcome.failing()
        self.assertTrue(failing, (outcome.seen, tail))
        # Every line while the player retries, the state changes between attempts included.
        self.assertGreaterEqual(len({v["m_player_state"] for v in failing}), 2, failing)
        for line in failing:
            self.assertEqual((line["error"], line["reason"]), (code, reason), failing)
        self.assertIn("Reason: %s\n" % reason, outcome.output)
        self.assertIn(": %s\n" % reason, outcome.output.replace("Reason: %s\n" % reason, ""),
                      "the log names the reason too")
        self.assertEqual(outcome.torn, [])

    def test_certificates_are_checked_and_a_refusal_says_why(self):
        ca = "ca_file=%s\n" % self.ca
        outcomes = self.run_all({
            "untrusted": (self.config(self.url("good", "/live.mp3")), retried(2), 30),
            "trusted": (self.config(self.url("good", "/live.mp3"), ca), playing, 30),
            "wrong": (self.config(self.url("wrong", "/live.mp3"), ca), retried(2), 30),
            "expired": (self.config(self.url("expired", "/live.mp3"), ca), retried(2), 30),
            "redirected": (self.config(self.url("plain", "/to_wrong"), ca), retried(2), 30),
            "unchecked": (self.config(self.url("wrong", "/live.mp3"), "tls_verify=no\n"),
                          playing, 30),
        })
        self.assert_refused_because(outcomes["untrusted"], "certificate refused: untrusted chain")
        for name in ("wrong", "redirected"):
            self.assert_refused_because(
                outcomes[name], "certificate refused: wrong host name (not issued for 127.0.0.1)")
        self.assert_refused_because(outcomes["expired"], "certificate refused: expired")

        trusted = outcomes["trusted"]
        self.assertTrue(trusted.played(), trusted.output[-3000:])
        self.assertIn("CA_FILE is %s\n" % self.ca, trusted.output)
        self.assertEqual([v for v in trusted.seen if v["error"] != "no error" or v["reason"]], [])

        unchecked = outcomes["unchecked"]
        self.assertTrue(unchecked.played(), unchecked.output[-3000:])
        self.assertIn("WARNING: tls_verify=no: HTTPS servers are not checked", unchecked.output)
        self.assertNotIn("WARNING", trusted.output)

    def test_failures_name_their_cause(self):
        ca = "ca_file=%s\n" % self.ca
        closed = e2e.free_port()
        outcomes = self.run_all({
            "404": (self.config(self.url("plain", "/nothing.mp3")), retried(2), 30),
            "503": (self.config(self.url("good", "/busy"), ca), retried(2), 30),
            "refused": (self.config("http://127.0.0.1:%d/live.mp3" % closed), retried(2), 30),
            "unresolved": (self.config("http://stream.invalid/live.mp3"), retried(2), 30),
            # The probe gets its answer, the player's connection nothing: the source's
            # time-out, then the wait for the next attempt.
            "silent": (self.config(self.url("good", "/silent"), ca), retried(1), 40),
        })
        self.assert_refused_because(outcomes["404"], "HTTP status 404 (Not Found)")
        self.assert_refused_because(outcomes["503"], "HTTP status 503 (Service Unavailable)")
        self.assert_refused_because(outcomes["refused"], "connection refused by 127.0.0.1:%d" % closed)
        self.assert_refused_because(outcomes["unresolved"], "host name not resolved: stream.invalid")
        silent = outcomes["silent"]
        self.assertFalse(silent.played())
        self.assertTrue(silent.failing(), silent.output[-3000:])
        self.assertEqual({v["error"] for v in silent.failing()}, {"-1004"}, silent.failing())
        for line in silent.failing():
            self.assertRegex(line["reason"], r"^time-out: nothing received from 127\.0\.0\.1:%d "
                             r"within \d+ s$" % self.servers["good"].port)

    def test_the_agent_serves_the_reason(self):
        folder = os.path.join(self.folder, "snmp-run")
        status = os.path.join(folder, "status")
        os.makedirs(folder)
        agent = snmp.Snmp(os.path.join(folder, "snmp"), status)
        run = e2e.QuillonRun(folder, self.config(self.url("good", "/busy")), speed="1")
        try:
            reason = "certificate refused: untrusted chain"
            served = e2e.wait_until(lambda: agent.walk().get((REASON, 1)) == reason, 30, 0.2)
            cells = agent.walk()
            self.assertTrue(served, (cells, run.output()[-2000:]))
            self.assertEqual(cells.get((LAST_ERROR, 1)), -1002)
        finally:
            run.interrupt()
            agent.stop()


if __name__ == "__main__":
    unittest.main()
