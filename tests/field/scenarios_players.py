"""Players and the agent as shipped: a folder and a stream on two channels read over SNMP,
switches by SIGHUP, the single unit and the channel instance taking turns on channel 1, a
card that goes away and comes back, stops by SIGTERM."""
import os
import stat
import time

from field import MEDIA_ROOT, check, scenario

PLAYING = 1
# A station's titles, changing every two seconds as songs do.
TITLES = ["Field Radio", "Field Radio News"]


def folder_and_stream(field):
    """The media folder "music" (two tones) and an ICY radio on loopback; its URL."""
    field.media_folder("music", [("a.mp3", 440, 3), ("b.mp3", 660, 3)])
    radio = field.media_folder("radio-source", [("radio.mp3", 550, 6)])
    port = field.stream({"/radio": {"file": os.path.join(radio, "radio.mp3"), "loop": True,
                                    "icy": True, "rate": 16000, "titles": TITLES * 50,
                                    "title_blocks": 4}})
    return "http://127.0.0.1:%d/radio" % port


def plays_folder(row):
    return row["state"] == PLAYING and row["song"] in ("a.mp3", "b.mp3") and \
        row["playlist"] == "p.m3u" and row["health"] == 0


def plays_stream(url):
    return lambda row: row["state"] == PLAYING and row["playlist"] == url and \
        row["health"] == 1 and row["buffer_ms"] > 0 and row["target_ms"] > 0


def shows_title(field, channel):
    """The station's title reaches the row (checked as "stream title over SNMP")."""
    check("stream title over SNMP", lambda: field.wait_row(
        channel, "shows the station's title", lambda row: row["song"] in TITLES, timeout=10))


def stops_cleanly(service):
    code = service.stop()
    assert code == 0, "%s: exit status %s on SIGTERM\n%s" % (service.name, code, service.tail())
    assert service.notify.seen("STOPPING=1"), service.name + " sent no STOPPING=1"


@scenario(order=10)
def folder_and_stream_over_snmp(field):
    url = folder_and_stream(field)
    field.configure("quillon", "volume=40\nmedia_type=local\nmedia_folder=music\n")
    field.configure("quillon@2", "volume=60\nmedia_type=Stream\nurl=%s\n" % url)
    single = field.service("quillon").start()
    second = field.service("quillon@2").start()

    # The agent, with no configuration of its own, finds both through the units' files.
    field.wait_row(1, "plays the folder", plays_folder)
    row = field.wait_row(2, "plays the stream with health figures", plays_stream(url))
    assert row["error"] == 0, row
    shows_title(field, 2)
    assert field.row(3) is None and field.row(4) is None, field.players.walk()
    # What the units leave for other readers: the link, a status file anyone can read.
    assert os.path.realpath("/run/quillon") == "/run/quillon-player/status"
    for path in ("/run/quillon-player/status", "/run/quillon-channel2/status",
                 "/run/quillon-channel2/status.health"):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        assert mode & 0o044 == 0o044, "%s has mode %o" % (path, mode)
    assert os.path.exists(os.path.join(MEDIA_ROOT, "music", "p.m3u"))
    # Both channels reach the card, each at its own volume on its own control.
    field.wait(lambda: field.card_bytes("channel1") > 44100 * 4 and
               field.card_bytes("channel2") > 44100 * 4, 20, "audio of both channels")
    def volumes_applied():
        mixer = field.mixer()
        assert 0 < mixer.get("chan_1", 255) < mixer.get("chan_2", 255) < 255, mixer
    check("volume on a fresh card", volumes_applied)
    stops_cleanly(single)
    stops_cleanly(second)
    # A stopped player: its last state stays, the stream's health file goes.
    assert not os.path.exists("/run/quillon-channel2/status.health")
    assert field.wait_row(2, "shows the stopped player", lambda r: r["health"] == 0)


@scenario(order=20)
def sighup_switches_and_channel_1_changes_hands(field):
    url = folder_and_stream(field)
    field.configure("quillon", "volume=50\nmedia_type=local\nmedia_folder=music\n")
    field.configure("quillon@2", "volume=50\nmedia_type=stream\nurl=%s\n" % url)
    single = field.service("quillon").start()
    second = field.service("quillon@2").start()
    field.wait_row(1, "plays the folder", plays_folder)
    field.wait_row(2, "plays the stream", plays_stream(url))
    starts = (single.starts, second.starts)

    # systemctl reload: the single player goes to the stream, channel 2 to the folder.
    field.configure("quillon", "volume=50\nmedia_type=stream\nurl=%s\n" % url)
    field.configure("quillon@2", "volume=50\nmedia_type=local\nmedia_folder=music\n")
    single.reload()
    second.reload()
    # Channel 1's health comes through /run/quillon, which links into the unit's folder.
    field.wait_row(1, "switched to the stream", plays_stream(url))
    shows_title(field, 1)
    field.wait_row(2, "switched to the folder", plays_folder)
    assert single.running() and second.running()
    assert (single.starts, second.starts) == starts, "a reload restarted a player"
    stops_cleanly(single)

    # The administrator moves channel 1 to quillon@1: the agent follows the player that runs.
    field.configure("quillon@1", "volume=50\nmedia_type=local\nmedia_folder=music\n")
    first = field.service("quillon@1").start()
    field.wait_row(1, "plays the folder as quillon@1", plays_folder)
    assert os.path.exists("/run/quillon-channel1/status")
    stops_cleanly(first)
    stops_cleanly(second)


@scenario(order=90)
def card_goes_away_and_comes_back(field):
    check("card goes away and comes back", lambda: card_vanishes(field))


def card_vanishes(field):
    field.media_folder("music", [("a.mp3", 440, 3), ("b.mp3", 660, 3)])
    field.configure("quillon@1", "volume=50\nmedia_type=local\nmedia_folder=music\n")
    player = field.service("quillon@1").start(hardware={"VCARD_VANISH": "channel1:2000"})
    field.wait_row(1, "plays", plays_folder)
    gone = os.path.join(field.card, "channel1.gone")
    field.wait(lambda: os.path.exists(gone), 20, "the card to go away")
    heard = field.card_bytes("channel1")
    # The player, or the unit's restart of it, rides it out until the card is back.
    time.sleep(2)
    os.unlink(gone)
    field.wait(lambda: field.card_bytes("channel1") > heard + 44100 * 4, 30,
               "audio after the card came back")
    field.wait_row(1, "plays again", plays_folder)
    assert player.running(), "not running after the card came back: %s" % player.exits
    stops_cleanly(player)
