"""Processes, clocks, logs and a passive mDNS listener for bench/bench.py.

Every time here is the monotonic clock in milliseconds, the clock that Qt writes for
"%{time boot}" in QT_MESSAGE_PATTERN, so the log lines of Ferrolink and of nmos-simnode and
the harness's own readings can be compared directly.
"""

import os
import re
import resource
import signal
import socket
import struct
import subprocess
import threading
import time

MESSAGE_PATTERN = "%{time boot} %{message}"
STAMPED = re.compile(r"^\s*(\d+)\.(\d{3}) (.*)$")
REQUEST = re.compile(r'^"(.*)" (\S+) (\S+) (\d+) ')
CLK_TCK = os.sysconf("SC_CLK_TCK")


def now_ms():
    # Qt prints the stamp from a 32-bit millisecond count.
    return int(time.monotonic() * 1000) % (1 << 32)


def stack_limit(kib):
    def apply():
        resource.setrlimit(resource.RLIMIT_STACK, (kib * 1024, resource.getrlimit(resource.RLIMIT_STACK)[1]))
    return apply


class Proc:
    """A child process whose output lines are kept with their arrival time and, for Qt
    log lines, with their own stamp. Every wait is bounded; stop() ends it."""

    def __init__(self, args, env=None, stack_kib=None, stdin=False):
        full_env = dict(os.environ)
        full_env.update({"QT_MESSAGE_PATTERN": MESSAGE_PATTERN, "QT_QPA_PLATFORM": "offscreen"})
        full_env.update(env or {})
        self.started = now_ms()
        self.popen = subprocess.Popen(args, env=full_env, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
                                      preexec_fn=stack_limit(stack_kib) if stack_kib else None)
        self.out = []   # (arrival ms, line)
        self.err = []   # (stamp ms or arrival ms, line without stamp)
        self.cond = threading.Condition()
        self.peak_kib = 0
        self.cpu_s = 0.0
        for stream, store, stamped in ((self.popen.stdout, self.out, False), (self.popen.stderr, self.err, True)):
            threading.Thread(target=self._read, args=(stream, store, stamped), daemon=True).start()

    def _read(self, stream, store, stamped):
        for line in stream:
            line = line.rstrip("\n")
            at = now_ms()
            match = STAMPED.match(line) if stamped else None
            if match:
                at, line = int(match.group(1)) * 1000 + int(match.group(2)), match.group(3)
            with self.cond:
                store.append((at, line))
                self.cond.notify_all()

    def wait_line(self, predicate, timeout_s, stream="out"):
        """The first line that satisfies predicate, or None when the time is up or the
        process ended."""
        store = self.out if stream == "out" else self.err
        deadline = time.monotonic() + timeout_s
        seen = 0
        with self.cond:
            while True:
                for entry in store[seen:]:
                    if predicate(entry[1]):
                        return entry
                seen = len(store)
                left = deadline - time.monotonic()
                if left <= 0 or self.popen.poll() is not None and seen == len(store):
                    return None
                self.cond.wait(min(left, 0.2))

    def sample(self):
        """Reads peak resident memory and CPU time while the process lives."""
        try:
            with open("/proc/%d/status" % self.popen.pid) as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        self.peak_kib = int(line.split()[1])
            with open("/proc/%d/stat" % self.popen.pid) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
                self.cpu_s = (int(fields[11]) + int(fields[12])) / CLK_TCK
        except (OSError, IndexError, ValueError):
            pass
        return self.peak_kib

    def rss_kib(self):
        try:
            with open("/proc/%d/status" % self.popen.pid) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    def stop(self):
        if self.popen.poll() is None:
            self.sample()
            if self.popen.stdin:
                self.popen.stdin.close()
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()
        time.sleep(0.1)  # let the readers take the last lines
        return self.popen.returncode

    def crashed(self):
        code = self.popen.poll()
        return code is not None and code < 0 and -code != signal.SIGTERM

    def requests(self, since=0, until=1 << 33, method=None):
        """nmos-simnode's served requests as (ms, label, method, path)."""
        found = []
        for at, line in list(self.err):
            match = REQUEST.match(line)
            if match and since <= at <= until and (method is None or match.group(2) == method):
                found.append((at, match.group(1), match.group(2), match.group(3)))
        return found


def start_simnode(simnode, args, timeout_s=60):
    """Starts nmos-simnode; answers the process and its nodes' lines, or raises."""
    import json
    proc = Proc([simnode] + args)
    if not proc.wait_line(lambda line: line == "ready", timeout_s):
        proc.stop()
        raise RuntimeError("nmos-simnode did not start: %s" % proc.err[-3:])
    nodes = [json.loads(line) for _, line in proc.out if line.startswith("{")]
    return proc, nodes


def read_name(data, offset):
    labels = []
    jumps = 0
    while offset < len(data):
        length = data[offset]
        if length & 0xC0 == 0xC0:
            if offset + 1 >= len(data) or jumps > 20:
                break
            offset = ((length & 0x3F) << 8) | data[offset + 1]
            jumps += 1
            continue
        if length == 0:
            break
        labels.append(data[offset + 1:offset + 1 + length].decode("utf-8", "replace"))
        offset += 1 + length
    return ".".join(labels)


class Sniffer:
    """Listens passively on UDP 5353 in the namespace and keeps every mDNS packet that
    arrives on the given address's interface, as (ms, is_response, has_authority,
    questions, raw)."""

    def __init__(self, interface_address):
        self.packets = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        self.sock.bind(("", 5353))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                             socket.inet_aton("224.0.0.251") + socket.inet_aton(interface_address))
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data = self.sock.recv(9000)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(data) < 12:
                continue
            _, flags, qd, _, ns, _ = struct.unpack("!HHHHHH", data[:12])
            questions = []
            offset = 12
            for _ in range(qd if not flags & 0x8000 else 0):
                name = read_name(data, offset)
                while offset < len(data) and data[offset] != 0 and data[offset] & 0xC0 != 0xC0:
                    offset += 1 + data[offset]
                offset += 2 if offset < len(data) and data[offset] & 0xC0 == 0xC0 else 1
                if offset + 4 > len(data):
                    break
                qtype = struct.unpack("!H", data[offset:offset + 2])[0]
                offset += 4
                questions.append((name, qtype))
            self.packets.append((now_ms(), bool(flags & 0x8000), ns > 0, questions, data))

    def first_response_with(self, text, since=0):
        needle = text.encode()
        for at, response, _, _, raw in list(self.packets):
            if response and at >= since and needle in raw:
                return at
        return None

    def stop(self):
        self.running = False
        self.thread.join()
        self.sock.close()
