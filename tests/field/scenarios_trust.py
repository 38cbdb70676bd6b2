"""HTTPS from a private server as a device builder sets it up: refused, and saying why over
SNMP, while the unit knows no CA for it; played once the CA file a builder copies to
/etc/quillon is named by ca_file= and the unit reloaded. The unit's user reads that file
from its own private /tmp world."""
import os
import shutil
import subprocess
import sys

from field import SOURCE, scenario

sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import audible  # noqa: E402

PLAYING = 1
MAKE_CERTS = os.path.join(SOURCE, "tests", "support", "http", "make_test_certs.sh")
CA_FILE = "/etc/quillon/field-private-ca.pem"
UNTRUSTED = "certificate refused: untrusted chain"


@scenario(order=60)
def private_ca_after_reload(field):
    certs = os.path.join(field.work, "certs")
    subprocess.run(["sh", MAKE_CERTS, certs], check=True)
    field.remember_path(os.path.dirname(CA_FILE))
    field.remember_path(CA_FILE)
    shutil.copy(os.path.join(certs, "ca.pem"), CA_FILE)
    os.chmod(CA_FILE, 0o644)
    radio = field.media_folder("trust-source", [("radio.mp3", 550, 4)])
    port = field.stream({"/radio": {"file": os.path.join(radio, "radio.mp3"), "loop": True,
                                    "rate": 24000, "headers": {"Content-Type": "audio/mpeg"}}},
                        tls=(os.path.join(certs, "good.pem"), os.path.join(certs, "good.key")))
    url = "https://127.0.0.1:%d/radio" % port
    config = "volume=60\nmedia_type=stream\nurl=%s\n" % url
    field.configure("quillon@3", config)
    player = field.service("quillon@3").start()

    # The system's store alone: the private chain is refused, the row says why.
    row = field.wait_row(3, "refuses the private chain and says why",
                         lambda r: r["reason"] == UNTRUSTED, timeout=20)
    assert row["state"] != PLAYING and row["error"] != 0, row
    assert audible.listen(field.card, "channel3").seconds_heard() == 0, \
        "audio from a refused server"

    field.configure("quillon@3", config + "ca_file=%s\n" % CA_FILE)
    player.reload()
    row = field.wait_row(3, "plays after ca_file= and a reload",
                         lambda r: r["state"] == PLAYING and r["playlist"] == url, timeout=20)
    field.wait(lambda: field.card_bytes("channel3") > 44100 * 4, 15, "audio of the HTTPS stream")
    row = field.wait_row(3, "clears the reason once audio plays",
                         lambda r: r["reason"] == "" and r["error"] == 0, timeout=10)
    assert "cannot be used" not in player.output(), player.tail()
    assert player.stop() == 0, player.tail()
