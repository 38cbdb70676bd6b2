#!/usr/bin/env python3
"""What an operator reads about a playing stream, end to end.

Starts, per test: the quillon binary on the project's virtual sound card (as in
quillon_e2e.py) and the loopback HTTP test server as the stream's server, on 127.0.0.1
and a free port.

- Titles: stream titles that an old encoder sends in Latin-1 or Windows-1252 reach the
  status file as UTF-8 (percent-escaped like every song name there).

Environment (set by CTest): QUILLON_BIN, VCARD_ASOUND_CONF, HTTP_TEST_SERVER.
"""

import os
import sys
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


if __name__ == "__main__":
    for name, value in (("QUILLON_BIN", e2e.QUILLON_BIN), ("VCARD_ASOUND_CONF", e2e.ASOUND_CONF),
                        ("HTTP_TEST_SERVER", e2e.HTTP_SERVER)):
        if not value:
            sys.exit("%s is not set" % name)
    unittest.main(verbosity=2)
