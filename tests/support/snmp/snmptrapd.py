"""A real snmptrapd on loopback, the management station of the notification tests: it
logs one line per notification ("TRAP|<request id>|<bindings>"), read back here as
{oid: value} with numeric OIDs."""
import os
import subprocess

TRAP_OID = "1.3.6.1.6.3.1.1.4.1.0"  # snmpTrapOID.0: which notification it is


def start(folder, port):
    """snmptrapd on udp:127.0.0.1:port, logging to <folder>/traps.log: (process, log)."""
    os.makedirs(os.path.join(folder, "persist"), exist_ok=True)
    conf = os.path.join(folder, "snmptrapd.conf")
    with open(conf, "w") as f:
        f.write("disableAuthorization yes\nformat2 TRAP|%V|%v\\n\n")
    log = os.path.join(folder, "traps.log")
    proc = subprocess.Popen(
        ["/usr/sbin/snmptrapd", "-f", "-n", "-On", "-Lf", log, "-C", "-c", conf,
         "udp:127.0.0.1:%d" % port],
        env=dict(os.environ, MIBS="", SNMP_PERSISTENT_DIR=os.path.join(folder, "persist")),
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc, log


def read(log):
    """The log so far ("" before snmptrapd made it)."""
    try:
        with open(log) as f:
            return f.read()
    except FileNotFoundError:
        return ""


def started(log):
    return "NET-SNMP version" in read(log)


def parse(line):
    """The bindings of one notification line: strings unquoted, integers as int."""
    binds = {}
    for part in line.split("|.1.3.6.")[1:]:
        name, _, value = ("1.3.6." + part).partition(" = ")
        kind, _, value = value.partition(": ")
        if kind == "STRING":
            value = value[1:-1].replace('\\"', '"')
        elif kind in ("INTEGER", "Gauge32"):
            value = int(value)
        elif kind == "OID":
            value = value.lstrip(".")
        binds[name] = value
    return binds


def is_notification(line):
    return line.startswith("TRAP|")
