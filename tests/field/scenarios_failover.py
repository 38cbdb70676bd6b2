"""A stream unit with a backup stream, as installed: the main server goes away, the card
plays the backup's tone and the row shows source backup1 with the switch; the main server
comes back on its port and the unit returns to it by its own background tries (the
shipped timings: the first try 10 s after main failed)."""
import os
import sys

from field import SOURCE, scenario

sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import audible  # noqa: E402

PLAYING = 1
MAIN, BACKUP1 = 1, 2
# Paced at one and a half times real time: the players' buffers fill, the servers never
# run far ahead.
PACE = 24000


def tone_now(field, pcm, seconds=0.5):
    """The dominant frequency of the last seconds the card recorded (0: silence)."""
    recording = audible.read_samples(field.card, pcm)
    if recording is None:
        return 0
    rate, channels, samples = recording
    left = samples[max(0, len(samples) - int(rate * seconds) * channels)::channels]
    if len(left) < rate * seconds / 2 or max(abs(s) for s in left) < 300:
        return 0
    crossings = sum(1 for a, b in zip(left, left[1:]) if (a < 0) != (b < 0))
    return crossings * rate / (2.0 * len(left))


def plays_tone(field, pcm, hz):
    return lambda: abs(tone_now(field, pcm) - hz) < 30


def paced_tone(field, name, hz, port=0):
    folder = field.media_folder(name, [("tone.mp3", hz, 4)])
    return field.stream({"/live": {"file": os.path.join(folder, "tone.mp3"), "loop": True,
                                   "rate": PACE, "headers": {"Content-Type": "audio/mpeg"}}},
                        port=port)


@scenario(order=62)
def backup_stream_and_back(field):
    main = paced_tone(field, "failover-main", 440)
    backup = paced_tone(field, "failover-backup", 660)
    main_url = "http://127.0.0.1:%d/live" % main
    backup_url = "http://127.0.0.1:%d/live" % backup
    field.configure("quillon@4", "volume=70\nmedia_type=stream\nurl=%s\nbackup_url1=%s\n"
                    "failover_s=2\n" % (main_url, backup_url))
    player = field.service("quillon@4").start()
    field.wait_row(4, "plays main", lambda r: r["state"] == PLAYING and r["source"] == MAIN
                   and r["switches"] == 0)
    field.wait(plays_tone(field, "channel4", 440), 15, "main's 440 Hz at the card")

    field.stop_stream(main)
    row = field.wait_row(4, "moves to backup1", lambda r: r["source"] == BACKUP1
                         and r["switches"] >= 1 and r["state"] == PLAYING, timeout=20)
    assert row["playlist"] in (main_url, backup_url), row
    field.wait(plays_tone(field, "channel4", 660), 10, "backup's 660 Hz at the card")
    assert "Switching to %s (" % backup_url in player.output(), player.tail()

    # Main again on its port, before its first background try.
    paced_tone(field, "failover-main", 440, port=main)
    field.wait(lambda: "Back to %s." % main_url in player.output(), 40, "Back to main")
    field.wait_row(4, "back on main", lambda r: r["source"] == MAIN and r["switches"] >= 2
                   and r["state"] == PLAYING, timeout=10)
    field.wait(plays_tone(field, "channel4", 440), 10, "main's 440 Hz at the card again")
    assert player.stop() == 0, player.tail()
