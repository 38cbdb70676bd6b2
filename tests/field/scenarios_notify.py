"""Notifications as installed: the agent, with no configuration of its own, sends
playerStateChanged through snmpd over AgentX; snmpd delivers them to a manager's
snmptrapd on loopback (the field's trap2sink) with their bindings: the channel's state,
song and playlist."""
import os
import sys

from field import SOURCE, scenario, wait_until

sys.path.insert(0, os.path.join(SOURCE, "tests", "support", "snmp"))
import snmptrapd  # noqa: E402

PLAYING = 1


class TrapLog:
    """snmptrapd on the field's trap port, one line per notification in its log."""

    def __init__(self, field):
        proc, self.log = snmptrapd.start(os.path.join(field.work, "snmptrapd"), field.trap_port)
        field.servers.append(proc)  # stopped with the field
        if not wait_until(lambda: proc.poll() is not None or snmptrapd.started(self.log), 10) \
                or proc.poll() is not None:
            raise AssertionError("snmptrapd did not start on port %d:\n%s"
                                 % (field.trap_port, self.text()))

    def text(self):
        return snmptrapd.read(self.log)

    def traps(self, oid):
        """The bindings of every notification of kind oid received so far."""
        found = (snmptrapd.parse(line) for line in self.text().splitlines()
                 if snmptrapd.is_notification(line))
        return [binds for binds in found if binds.get(snmptrapd.TRAP_OID) == oid]


def status(channel):
    try:
        with open("/run/quillon-channel%d/status" % channel) as f:
            return f.read()
    except OSError as error:
        return str(error)


class Changes:
    """The playerStateChanged notifications of one channel: their bindings."""

    def __init__(self, traps, table, channel):
        enterprise = table.split(".")[6]
        self.traps = traps
        self.kind = "1.3.6.1.4.1.%s.4.0.1" % enterprise
        self.channel = channel
        self.state, self.song, self.playlist = ("%s.%d.%d" % (table, column, channel)
                                                for column in (2, 3, 4))

    def playing(self):
        return [t for t in self.traps.traps(self.kind) if t.get(self.state) == PLAYING]

    def stopped(self):
        """Those saying it no longer plays, after the first saying it plays."""
        mine = [t for t in self.traps.traps(self.kind) if self.state in t]
        first = next((i for i, t in enumerate(mine) if t[self.state] == PLAYING), len(mine))
        return [t for t in mine[first:] if t[self.state] != PLAYING]

    def wait(self, field, what, found, timeout=10):
        if not wait_until(lambda: found(), timeout):
            raise AssertionError("no playerStateChanged (%s) for channel %d; row %s, status file "
                                 "%r; received:\n%s" % (what, self.channel, field.row(self.channel),
                                                        status(self.channel),
                                                        self.traps.text()[-2000:]))
        return found()[0]


@scenario(order=64)
def state_changes_reach_the_manager(field):
    traps = TrapLog(field)
    table = field.players.table
    folder, stream = Changes(traps, table, 2), Changes(traps, table, 1)

    field.media_folder("notify", [("n1.mp3", 500, 4), ("n2.mp3", 700, 4)])
    source = field.media_folder("notify-source", [("radio.mp3", 600, 4)])
    port = field.stream({"/radio": {"file": os.path.join(source, "radio.mp3"), "loop": True,
                                    "rate": 24000, "headers": {"Content-Type": "audio/mpeg"}}})
    url = "http://127.0.0.1:%d/radio" % port
    field.configure("quillon@2", "volume=50\nmedia_type=local\nmedia_folder=notify\n")
    field.configure("quillon@1", "volume=50\nmedia_type=stream\nurl=%s\n" % url)
    players = [field.service("quillon@2").start(), field.service("quillon@1").start()]

    binds = folder.wait(field, "playing", folder.playing)
    assert binds.get(folder.song) in ("n1.mp3", "n2.mp3"), binds
    assert binds.get(folder.playlist) == "p.m3u", binds
    binds = stream.wait(field, "playing", stream.playing)
    assert binds.get(stream.playlist) == url and stream.song in binds, binds

    for player in players:
        assert player.stop() == 0, player.tail()
    binds = stream.wait(field, "stopped", stream.stopped)
    assert field.row(1)["state"] == binds[stream.state], (field.row(1), binds)

    # A folder player stopped on purpose says so too, not only the stream player.
    binds = folder.wait(field, "stopped", folder.stopped, timeout=5)
    assert field.row(2)["state"] == binds[folder.state], (field.row(2), binds)
