"""Field rehearsal: what ships, run the way the device runs it.

The programs come from the installed packages; each service starts the way its installed
unit file says, read from /lib/systemd/system (systemd is not the init of the build
machine): ExecStart= as the command line, User=, Group= and SupplementaryGroups= (with the
user's own groups), RuntimeDirectory= and StateDirectory= made and owned as systemd makes
them, Environment= and systemd's own variables, UMask=, LimitRTPRIO=/LimitRTTIME=/
LimitMEMLOCK=, NoNewPrivileges=, PrivateTmp= (a /tmp of its own), a NOTIFY_SOCKET of this
module for Type=notify readiness, ExecReload= for reloads, KillSignal= (SIGTERM) for stops,
and Restart=on-failure with RestartSec= as systemd decides it (a clean signal, SIGPIPE
included, is no failure). Not imitated: the other sandboxing settings (ProtectSystem= and
the like).

The device around them: the installed tmpfiles.d entries applied, the virtual sound card
standing in for the device's hardware where /etc/asound.conf points (it serves the PCM and
control names of the shipped ALSA configuration; VCARD_SOFTVOL=1 makes each softvol control
appear only once its PCM was opened, as on a device without saved mixer state; the card's
own variables are the only ones added to a unit's environment), the media card at
/media/mmcsd0p1, snmpd with the shipped AgentX snippet on its socket /var/agentx/master and
a free UDP port on 127.0.0.1 (its notifications go to trap2sink 127.0.0.1:Field.trap_port,
where a scenario may listen), and the agent with no configuration of its own.

A scenario is a function taking the Field, registered with @scenario in a module
tests/field/scenarios_*.py (each module is one subject); they run one after the other, in
the order given (default 50, then by name), each with no service running at its start.
A scenario fails by raising (assert, or Field.wait). Between scenarios the field stops the
services; whatever else a scenario changes (configuration files, media folders) it leaves
for the next one to write over.

Everything the field changes on the machine it puts back when it ends: the packages purged,
/etc/asound.conf, /media/mmcsd0p1, /var/agentx, the runtime and state folders as before.
"""

import grp
import json
import os
import pwd
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
HTTP_SERVER = os.path.join(SOURCE, "tests", "support", "http", "test_http_server.py")
UNIT_DIRS = ("/etc/systemd/system", "/lib/systemd/system", "/usr/lib/systemd/system")
MEDIA_ROOT = "/media/mmcsd0p1"
AGENTX_DIR = "/var/agentx"
PACKAGES = ("liborvaneplayer1", "quillon", "tandril-snmp-agent")
# Signals whose death systemd counts as a clean end (no restart on failure).
CLEAN_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE)

SCENARIOS = []
# Checks that a mend elsewhere has yet to make pass: name -> what it waits for. A check
# named here that fails is reported as pending and the scenario goes on; one that passes
# asks for its entry to be removed. Whoever lands the mend removes the entry.
PENDING = {}


def scenario(order=50):
    """Registers fn(field) as a scenario; lower orders run first."""
    def register(fn):
        SCENARIOS.append((order, fn.__module__, fn.__name__, fn))
        return fn
    return register


def check(name, fn):
    """Runs fn() (raising on failure) as the check called name, minding PENDING."""
    try:
        fn()
    except AssertionError as error:
        if name not in PENDING:
            raise
        log("pending: %s (waits for: %s): %s" % (name, PENDING[name], error))
        return False
    if name in PENDING:
        log("passes now, remove it from PENDING: " + name)
    return True


def log(text):
    print("field: " + text, flush=True)


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kwargs)


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class UnitFile:
    """The settings of an installed unit file, specifiers of an instance filled in."""

    def __init__(self, name):
        self.name = name
        template = re.sub(r"@[^.]+\.", "@.", name) if "@" in name else name
        self.instance = name.split("@", 1)[1].rsplit(".", 1)[0] if "@" in name else ""
        path = next((os.path.join(d, template) for d in UNIT_DIRS
                     if os.path.exists(os.path.join(d, template))), None)
        if path is None:
            raise FileNotFoundError("no unit file " + template)
        self.path = path
        self.sections = {}
        section = None
        with open(path) as f:
            for raw in f:
                line = raw.strip()
                if not line or line[0] in "#;":
                    continue
                if line.startswith("["):
                    section = self.sections.setdefault(line.strip("[]"), {})
                    continue
                key, _, value = line.partition("=")
                section.setdefault(key.strip(), []).append(self.fill(value.strip()))

    def fill(self, value):
        return re.sub(r"%([inI%])", lambda m: {"i": self.instance, "I": self.instance,
                                                "n": self.name, "%": "%"}[m.group(1)], value)

    def get(self, key, default=None, section="Service"):
        values = self.sections.get(section, {}).get(key)
        return values[-1] if values else default

    def all(self, key, section="Service"):
        return self.sections.get(section, {}).get(key, [])

    def words(self, key, section="Service"):
        return [w for value in self.all(key, section) for w in value.split()]

    def seconds(self, key, default):
        value = self.get(key)
        if value is None:
            return default
        match = re.fullmatch(r"(\d+(?:\.\d+)?)\s*(ms|s|min)?", value)
        if match is None:
            return default
        factor = {"ms": 0.001, "s": 1, "min": 60, None: 1}[match.group(2)]
        return float(match.group(1)) * factor


class NotifyListener:
    """A NOTIFY_SOCKET: every message a service sends, as a list of lines."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)  # the service runs as its own user
        self.sock.settimeout(0.1)
        self.messages = []
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.receive, daemon=True)
        self.thread.start()

    def receive(self):
        while not self.stop.is_set():
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.messages.extend(data.decode("utf-8", "replace").splitlines())

    def seen(self, message, since=0):
        with self.lock:
            return message in self.messages[since:]

    def count(self):
        with self.lock:
            return len(self.messages)

    def close(self):
        self.stop.set()
        self.thread.join(2)
        self.sock.close()


class Service:
    """One unit, started and stopped the way its unit file says."""

    def __init__(self, field, name):
        self.field = field
        self.name = name if name.endswith(".service") else name + ".service"
        self.unit = UnitFile(self.name)
        self.proc = None
        self.hardware = {}
        self.exits = []      # (returncode, restarted) of every end that was no stop
        self.starts = 0
        self.stopping = False
        self.watcher = None
        base = self.name.replace("@", "-").replace(".service", "")
        self.log_path = os.path.join(field.work, base + ".log")
        self.notify = NotifyListener(os.path.join(field.work, base + ".notify"))

    # --- what the unit file says
    def argv(self, key="ExecStart"):
        line = self.unit.get(key)
        if line is None:
            raise ValueError("%s has no %s=" % (self.name, key))
        return shlex.split(line.lstrip("@-:+!"))

    def option(self, name):
        """The value of a command-line option in ExecStart= ("--config" -> path)."""
        argv = self.argv()
        for i, word in enumerate(argv):
            if word == name and i + 1 < len(argv):
                return argv[i + 1]
            if word.startswith(name + "="):
                return word.split("=", 1)[1]
        return None

    def user(self):
        return pwd.getpwnam(self.unit.get("User", "root"))

    def groups(self):
        user = self.user()
        group = grp.getgrnam(self.unit.get("Group")).gr_gid if self.unit.get("Group") else user.pw_gid
        extra = [grp.getgrnam(g).gr_gid for g in self.unit.words("SupplementaryGroups")]
        return group, sorted(set(os.getgrouplist(user.pw_name, group) + extra))

    def environment(self):
        user = self.user()
        env = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "LANG": "C.UTF-8", "USER": user.pw_name, "LOGNAME": user.pw_name,
               "HOME": user.pw_dir, "SHELL": user.pw_shell,
               "INVOCATION_ID": os.urandom(16).hex(), "NOTIFY_SOCKET": self.notify.path}
        runtime = ["/run/" + d for d in self.unit.words("RuntimeDirectory")]
        state = ["/var/lib/" + d for d in self.unit.words("StateDirectory")]
        if runtime:
            env["RUNTIME_DIRECTORY"] = ":".join(runtime)
        if state:
            env["STATE_DIRECTORY"] = ":".join(state)
        for value in self.unit.all("Environment"):
            for assignment in shlex.split(value):
                key, _, val = assignment.partition("=")
                env[key] = val
        env.update(self.field.hardware)
        env.update(self.hardware)
        return env

    def make_directories(self):
        user = self.user()
        group, _ = self.groups()
        for kind, root in (("RuntimeDirectory", "/run"), ("StateDirectory", "/var/lib")):
            mode = int(self.unit.get(kind + "Mode", "0755"), 8)
            for name in self.unit.words(kind):
                path = os.path.join(root, name)
                self.field.remember_path(path)
                os.makedirs(path, exist_ok=True)
                os.chown(path, user.pw_uid, group)
                os.chmod(path, mode)

    def command(self):
        """The service's command line behind the helpers that set up its process."""
        user = self.user()
        group, groups = self.groups()
        limits = ["%s=%s" % (option, limit(self.unit.get(key)))
                  for key, option in (("LimitRTPRIO", "--rtprio"), ("LimitRTTIME", "--rttime"),
                                      ("LimitMEMLOCK", "--memlock"))
                  if self.unit.get(key) is not None]
        limits = [l for l in limits if self.field.limit_allowed(l)]
        setpriv = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % group,
                   "--groups=" + ",".join(str(g) for g in groups)]
        if self.unit.get("NoNewPrivileges") == "yes":
            setpriv.append("--no-new-privs")
        command = ["prlimit"] + limits + ["--"] + setpriv + ["--"] + self.argv()
        if self.unit.get("PrivateTmp") == "yes":
            # A /tmp of its own; every helper execs, so the process stays the main one.
            command = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                       'mount -t tmpfs -o mode=1777 tmpfs /tmp && exec "$@"', "sh"] + command
        return command

    # --- life cycle
    def start(self, hardware=None, ready=True, timeout=30):
        """Starts the service; with ready, waits for READY=1 (Type=notify)."""
        if self.running():
            raise AssertionError(self.name + " runs already")
        if hardware is not None:
            self.hardware = dict(hardware)
        self.stopping = False
        self.make_directories()
        since = self.notify.count()
        out = open(self.log_path, "ab")
        out.write(("-- start %s\n" % " ".join(self.argv())).encode())
        out.flush()
        umask = int(self.unit.get("UMask", "0022"), 8)
        self.proc = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, env=self.environment(),
                                     umask=umask, cwd="/")
        out.close()
        self.starts += 1
        self.watcher = threading.Thread(target=self.watch, args=(self.proc,), daemon=True)
        self.watcher.start()
        if ready and self.unit.get("Type") == "notify":
            self.field.wait(lambda: self.notify.seen("READY=1", since) or self.proc.poll() is not None,
                            timeout, self.name + " ready")
            if not self.notify.seen("READY=1", since):
                raise AssertionError("%s ended before it was ready (status %s):\n%s"
                                     % (self.name, self.proc.returncode, self.tail()))
        return self

    def watch(self, proc):
        """Restart=on-failure: a failure (not a stop) restarts the service after RestartSec=."""
        code = proc.wait()
        if self.stopping or proc is not self.proc:
            return
        failed = code != 0 and -code not in CLEAN_SIGNALS
        restart = failed and self.unit.get("Restart") in ("on-failure", "always", "on-abnormal")
        self.exits.append((code, restart))
        if restart:
            time.sleep(self.unit.seconds("RestartSec", 0.1))
            if not self.stopping and proc is self.proc:
                try:
                    self.start(ready=False)
                except Exception as error:  # noqa: BLE001  (reported through exits)
                    self.exits.append((str(error), False))

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def pid(self):
        return self.proc.pid if self.proc is not None else None

    def reload(self):
        """ExecReload= with $MAINPID, as systemctl reload runs it."""
        argv = [w.replace("$MAINPID", str(self.pid())).replace("${MAINPID}", str(self.pid()))
                for w in self.argv("ExecReload")]
        subprocess.run(argv, check=True)

    def stop(self, timeout=20):
        """KillSignal= to the main process; its exit status (None when it was not running)."""
        self.stopping = True
        if not self.running():
            return None
        self.proc.send_signal(getattr(signal, self.unit.get("KillSignal", "SIGTERM")))
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("%s did not stop within %d s" % (self.name, timeout))

    def output(self):
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def tail(self, lines=30):
        return "\n".join(self.output().splitlines()[-lines:])


class SnmpPlayers:
    """The players' table as an operator reads it through snmpd."""

    COLUMNS = ("state", "song", "playlist", "error", "health", "buffer_ms", "target_ms",
               "underruns", "duplicated_frames", "dropped_frames", "lost_packets",
               "reconnects", "stream_age_s", "reason", "source", "switches")
    TEXT = ("song", "playlist", "reason")

    def __init__(self, address, enterprise):
        self.address = address
        self.table = "1.3.6.1.4.1.%d.2.1.1" % enterprise

    def row(self, channel):
        """The row of a channel as a dict, or None when the table has none."""
        oids = ["%s.%d.%d" % (self.table, column, channel) for column in range(2, 2 + len(self.COLUMNS))]
        result = subprocess.run(["snmpget", "-v2c", "-c", "public", "-t", "2", "-r", "1",
                                 "-Oqn", "-Ox", self.address] + oids,
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise AssertionError("snmpget failed: " + result.stderr)
        # "oid value" per object; long hexadecimal strings go on over further lines.
        values = []
        for line in result.stdout.splitlines():
            if line.startswith("."):
                values.append(line.split(" ", 1)[1] if " " in line else "")
            elif values:
                values[-1] += " " + line.strip()
        if len(values) != len(oids) or any(v.startswith("No Such") for v in values):
            return None
        row = {}
        for name, value in zip(self.COLUMNS, values):
            if name in self.TEXT:
                row[name] = bytes.fromhex(value.strip('"').replace(" ", "")).decode("utf-8")
            else:
                row[name] = int(value)
        return row

    def agent_serves(self):
        """Whether snmpd serves the agent's objects (its host name)."""
        host = self.table.rsplit(".2.1.1", 1)[0] + ".3.1.1.0"
        result = subprocess.run(["snmpget", "-v2c", "-c", "public", "-t", "1", "-r", "0",
                                 self.address, host], capture_output=True, text=True)
        return result.returncode == 0 and "No Such" not in result.stdout

    def walk(self):
        result = subprocess.run(["snmpwalk", "-v2c", "-c", "public", "-t", "2", "-r", "1",
                                 "-On", self.address, self.table], capture_output=True,
                                text=True)
        return result.stdout


class Field:
    """The device: packages installed, card, media card, snmpd and agent; its services."""

    def __init__(self, packages, build, work):
        self.packages = packages
        self.build = build
        self.work = work
        self.services = {}
        self.servers = []
        self.streams = {}        # port -> its HTTP test server
        self.trap_port = free_port()
        self.paths_before = {}   # path -> existed before the field
        self.saved = {}          # file -> its content before the field (None: absent)
        self.snmpd = None
        self.card = os.path.join(work, "card")
        self.hardware = {"VCARD_DIR": self.card, "VCARD_SOFTVOL": "1"}
        self.players = None
        self.installed = False
        self.agent = None
        self.limits_checked = {}

    # --- machine state that is put back afterwards
    def remember_path(self, path):
        if path not in self.paths_before:
            self.paths_before[path] = os.path.lexists(path)

    def save_file(self, path):
        if path not in self.saved:
            self.saved[path] = open(path, "rb").read() if os.path.exists(path) else None

    def restore(self):
        for path, content in self.saved.items():
            if content is None:
                if os.path.lexists(path):
                    os.unlink(path)
            else:
                with open(path, "wb") as f:
                    f.write(content)
        for path, existed in sorted(self.paths_before.items(), reverse=True):
            if not existed and os.path.lexists(path):
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    os.unlink(path)

    # --- set-up
    def set_up(self):
        self.install()
        self.sound_card()
        self.media_card()
        self.tmpfiles()
        self.start_snmpd()
        self.agent = self.service("tandril-snmp-agent").start()
        self.wait(self.players.agent_serves, 30, "the agent to register with snmpd")

    def install(self):
        arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        debs = sorted(os.path.join(self.packages, f) for f in os.listdir(self.packages)
                      if f.endswith("_%s.deb" % arch) and f.split("_")[0] in PACKAGES)
        if len(debs) != len(PACKAGES):
            raise AssertionError("packages missing in %s: %s" % (self.packages, debs))
        log("installing " + " ".join(os.path.basename(d) for d in debs))
        # As before the packages: the configuration folder and files the scenarios write.
        self.remember_path("/etc/quillon")
        self.save_file("/etc/quillon.conf")
        run(["apt-get", "-o", "DPkg::Lock::Timeout=900", "install", "-y", "-q",
             "--no-install-recommends"] + debs, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.installed = True

    def purge(self):
        if self.installed:
            subprocess.run(["apt-get", "-o", "DPkg::Lock::Timeout=900", "purge", "-y", "-q"]
                           + list(PACKAGES), capture_output=True,
                           env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
            self.installed = False

    def sound_card(self):
        """/etc/asound.conf: the virtual card under the names of the shipped configuration."""
        vcard = os.path.join(self.build, "vcard")
        plugins = os.path.join(self.work, "vcard")
        os.makedirs(plugins)
        for name in os.listdir(vcard):
            if name.endswith(".so"):
                shutil.copy(os.path.join(vcard, name), plugins)
        with open(os.path.join(vcard, "asound.conf")) as f:
            text = f.read().replace(vcard + "/", plugins + "/")
        # Read after the system's own alsa.conf: its definitions are replaced, not merged.
        text = re.sub(r"^(pcm|ctl)\.(\w+) ", r"\1.!\2 ", text, flags=re.M)
        shipped = "/usr/share/doc/quillon/examples/asound.conf"
        self.check_names(shipped, text)
        self.save_file("/etc/asound.conf")
        with open("/etc/asound.conf", "w") as f:
            f.write("# Field rehearsal: the virtual card in place of the device's hardware.\n"
                    + text)
        os.makedirs(self.card)
        os.chown(self.card, 0, grp.getgrnam("audio").gr_gid)
        os.chmod(self.card, 0o2775)

    @staticmethod
    def check_names(shipped, stand_in):
        """The stand-in serves every PCM and softvol control the shipped file defines."""
        with open(shipped) as f:
            text = f.read()
        pcms = set(re.findall(r"^pcm\.!?(channel\d|default)\b", text, flags=re.M))
        controls = set(re.findall(r'control\s*\{\s*name\s+"(\w+) Playback Volume"', text))
        if pcms != {"channel1", "channel2", "channel3", "channel4", "default"} or \
                controls != {"chan_1", "chan_2", "chan_3", "chan_4", "Playback"}:
            raise AssertionError("the shipped ALSA configuration names %s / %s" % (pcms, controls))
        for pcm in pcms:
            if not re.search(r"^pcm\.!?%s\b" % pcm, stand_in, flags=re.M):
                raise AssertionError("the virtual card serves no PCM " + pcm)

    def media_card(self):
        self.remember_path(MEDIA_ROOT)
        if os.path.exists(MEDIA_ROOT) and os.listdir(MEDIA_ROOT):
            raise AssertionError(MEDIA_ROOT + " is in use on this machine")
        os.makedirs(MEDIA_ROOT, exist_ok=True)
        self.media_writable(MEDIA_ROOT)

    @staticmethod
    def media_writable(path):
        # The card is writable by group audio, as the README asks of a device.
        os.chown(path, 0, grp.getgrnam("audio").gr_gid)
        os.chmod(path, 0o2775)

    def tmpfiles(self):
        for path in ("/run/quillon", "/run/quillon.health"):
            self.remember_path(path)
        run(["systemd-tmpfiles", "--create", "/usr/lib/tmpfiles.d/quillon.conf"])

    def start_snmpd(self):
        self.remember_path(AGENTX_DIR)
        if os.path.exists(os.path.join(AGENTX_DIR, "master")):
            raise AssertionError(AGENTX_DIR + "/master exists: an snmpd runs on this machine")
        conf_dir = os.path.join(self.work, "snmpd")
        os.makedirs(os.path.join(conf_dir, "persist"))
        with open("/usr/share/doc/tandril-snmp-agent/examples/snmpd-agentx.conf") as f:
            snippet = f.read()
        with open(os.path.join(conf_dir, "snmpd.conf"), "w") as f:
            f.write("rocommunity public 127.0.0.1\n" + snippet
                    + "\ntrap2sink 127.0.0.1:%d public\n" % self.trap_port)
        port = free_port()
        self.snmpd = subprocess.Popen(
            ["/usr/sbin/snmpd", "-f", "-Lf", os.path.join(conf_dir, "snmpd.log"), "-C", "-c",
             os.path.join(conf_dir, "snmpd.conf"), "udp:127.0.0.1:%d" % port],
            env=dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(conf_dir, "persist"), MIBS=""))
        self.wait(lambda: os.path.exists(os.path.join(AGENTX_DIR, "master")), 10, "snmpd's AgentX socket")
        with open("/usr/share/snmp/mibs/TANDRIL-MIB.txt") as f:
            enterprise = int(re.search(r"::= \{ enterprises (\d+)", f.read()).group(1))
        self.players = SnmpPlayers("127.0.0.1:%d" % port, enterprise)

    def limit_allowed(self, option):
        """Whether this machine lets even root raise a limit (a container may not)."""
        if option not in self.limits_checked:
            allowed = subprocess.run(["prlimit", option, "true"], capture_output=True).returncode == 0
            if not allowed:
                log("this machine does not allow prlimit %s: left as it is" % option)
            self.limits_checked[option] = allowed
        return self.limits_checked[option]

    # --- for scenarios
    def service(self, name):
        name = name if name.endswith(".service") else name + ".service"
        if name not in self.services:
            self.services[name] = Service(self, name)
        return self.services[name]

    def configure(self, service, text):
        """Writes the configuration file that the service's command line names."""
        path = self.service(service).option("--config")
        self.save_file(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def media_folder(self, name, tones):
        """A folder on the media card with an MP3 file per (name, Hz, seconds)."""
        folder = os.path.join(MEDIA_ROOT, name)
        if os.path.exists(folder):
            shutil.rmtree(folder)
        os.makedirs(folder)
        self.media_writable(folder)
        for file_name, hz, seconds in tones:
            make_tone(os.path.join(folder, file_name), hz, seconds)
        return folder

    def stream(self, routes, port=0, tls=None):
        """The loopback HTTP test server with these routes (on port, 0: a free one; HTTPS
        with tls=(certificate, key)); its port."""
        folder = tempfile.mkdtemp(prefix="http-", dir=self.work)
        routes_path = os.path.join(folder, "routes.json")
        with open(routes_path, "w") as f:
            json.dump(routes, f)
        port_file = os.path.join(folder, "port")
        server = subprocess.Popen([sys.executable, HTTP_SERVER, "--routes", routes_path,
                                   "--port-file", port_file, "--port", str(port)]
                                  + (["--tls-cert", tls[0], "--tls-key", tls[1]] if tls else []),
                                  stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.servers.append(server)
        self.wait(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 10,
                  "the HTTP test server")
        port = int(open(port_file).read())
        self.streams[port] = server
        return port

    def stop_stream(self, port):
        """Stops the HTTP test server on port (the listeners' connections end with it)."""
        server = self.streams.pop(port)
        server.kill()
        server.wait(10)

    def row(self, channel):
        return self.players.row(channel)

    def wait_row(self, channel, what, predicate, timeout=20):
        """Waits until the channel's row satisfies predicate(row); the row."""
        last = [None]

        def check():
            last[0] = self.row(channel)
            return last[0] is not None and predicate(last[0])
        if not wait_until(check, timeout, 0.5):
            raise AssertionError("channel %d: %s; last row %s" % (channel, what, last[0]))
        return last[0]

    @staticmethod
    def wait(predicate, timeout, what):
        if not wait_until(predicate, timeout):
            raise AssertionError("timed out waiting for " + what)

    def card_bytes(self, pcm):
        path = os.path.join(self.card, pcm + ".wav")
        return os.path.getsize(path) if os.path.exists(path) else 0

    def mixer(self):
        values = {}
        path = os.path.join(self.card, "mixer.state")
        if os.path.exists(path):
            with open(path) as f:
                for line in f:
                    parts = line.split()
                    if len(parts) == 2 and parts[1].lstrip("-").isdigit():
                        values[parts[0]] = int(parts[1])
        return values

    def stop_services(self):
        failures = []
        for service in self.services.values():
            if service is self.agent:
                continue
            code = service.stop()
            if code not in (None, 0):
                failures.append("%s ended with status %s on stop" % (service.name, code))
        return failures

    # --- the end
    def tear_down(self):
        for service in self.services.values():
            try:
                service.stop()
            except AssertionError as error:
                log(str(error))
            service.notify.close()
        for server in self.servers:
            server.terminate()
            server.wait(10)
        if self.snmpd is not None:
            self.snmpd.terminate()
            self.snmpd.wait(10)
        self.purge()
        self.restore()


def limit(value):
    """A Limit*= value as prlimit takes it: "infinity" -> unlimited, 64M -> bytes."""
    if value == "infinity":
        return "unlimited"
    factors = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    if value[-1:] in factors:
        return str(int(value[:-1]) * factors[value[-1]])
    return value


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return bool(predicate())


def make_tone(path, hz, seconds):
    run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "sine=f=%d:d=%s" % (hz, seconds), "-ac", "2", "-ar", "44100", "-c:a", "libmp3lame",
         "-b:a", "128k", "-f", "mp3", path])
