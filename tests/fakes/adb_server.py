#!/usr/bin/env python3
"""A simulated adb server for the tests.

The real adb client (/usr/bin/adb) talks to it over loopback TCP exactly as it talks
to a real server: smart-socket requests (4 hex digits of length, then the request),
answered with OKAY or FAIL. Devices come from a fixture directory; their shell is a
small interpreter of the device shell whose commands are built-ins working on that
directory. No host program is ever run on behalf of a device.

    python3 adb_server.py --root DIR [--port 0] [--port-file FILE] [--trace FILE]

prints the bound port as one line once listening and serves until its standard input
reaches end of file or it gets SIGTERM. Layout, knobs and logs: tests/fakes/README.md.
"""
import argparse
import base64
import binascii
import os
import posixpath
import re
import select
import signal
import socket
import struct
import sys
import threading
import time
import zlib

SERVER_VERSION = 41  # what adb 1.0.41 expects; any other makes it restart the server
DEVICE_FEATURES = ",".join([
    "shell_v2", "cmd", "stat_v2", "ls_v2", "fixed_push_mkdir", "apex", "abb", "fixed_push_symlink_timestamp",
    "abb_exec", "remount_shell", "track_app", "sendrecv_v2", "sendrecv_v2_brotli", "sendrecv_v2_lz4",
    "sendrecv_v2_zstd", "sendrecv_v2_dry_run_send", "openscreen_mdns", "push_sync",
])
HOST_FEATURES = DEVICE_FEATURES
GARBAGE = b"\x1b[2J\xff\xfePNX garbage \xc3\x28\r\n\x01\x02\x7f"  # no NUL: the client prints listings as C strings
SH = "/system/bin/sh"

# ---------------------------------------------------------------------------------
# Fixture state shared by every connection


class Fixture:
    def __init__(self, root, trace=None):
        self.root = os.path.abspath(root)
        self.trace = trace
        self.lock = threading.Lock()  # log files, the request counter
        self.served = 0
        self.pids = 1000

    def knob(self, name):
        path = os.path.join(self.root, "knobs", name)
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                value = f.read().strip()
        except OSError:
            return None
        return value or None

    def knobs_apply(self, line):
        only = self.knob("FAKE_ADB_ONLY")
        return only is None or only in line

    def log_request(self, line):
        with self.lock:
            with open(os.path.join(self.root, "adb.log"), "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write(line + "\n")

    def count_served(self):
        with self.lock:
            self.served += 1

    def vanished(self):
        limit = self.knob("FAKE_ADB_VANISH_AFTER")
        if limit is None:
            return False
        try:
            return self.served >= int(limit)
        except ValueError:
            return False

    def devices_text(self):
        """The listing as the fixture wrote it, header line included."""
        if self.vanished():
            return "List of devices attached\n\n"
        try:
            with open(os.path.join(self.root, "devices.txt"), encoding="utf-8", errors="surrogateescape") as f:
                return f.read()
        except OSError:
            return "List of devices attached\n\n"

    def listing(self):
        """What the server answers for host:devices-l: the file without its header line
        (the client prints that itself)."""
        text = self.devices_text()
        first, _, rest = text.partition("\n")
        if first.strip().lower().startswith("list of devices"):
            text = rest
        # The client ends the listing with an empty line of its own.
        return text[:-1] if text.endswith("\n\n") or text == "\n" else text

    def devices(self):
        """[(serial, state, transport id)] in listing order."""
        out = []
        for n, line in enumerate(self.listing().replace("\r", "").split("\n")):
            words = line.split()
            if len(words) < 2:
                continue
            tid = n + 1
            for w in words[2:]:
                if w.startswith("transport_id:") and w[13:].isdigit():
                    tid = int(w[13:])
            out.append((words[0], words[1], tid))
        return out

    def next_pid(self):
        with self.lock:
            self.pids += 1
            return self.pids


def state_error(state):
    if state == "unauthorized":
        return ("device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not set\n"
                "Try 'adb kill-server' if that seems wrong.\n"
                "Otherwise check for a confirmation dialog on your device.")
    if state == "offline":
        return "device offline"
    if state == "authorizing":
        return "device still authorizing"
    if state == "connecting":
        return "device still connecting"
    if state == "no":
        return "insufficient permissions for device"
    return None  # device, recovery, sideload, bootloader, ...: usable


class AdbError(Exception):
    pass


def pick_device(fx, serial=None, tid=None):
    """The addressed device as (serial, state, tid), the way the server chooses a
    transport; AdbError with the server's wording otherwise."""
    devices = fx.devices()
    if serial is not None:
        found = [d for d in devices if d[0] == serial]
        if not found:
            raise AdbError(f"device '{serial}' not found")
        if len(found) > 1:
            raise AdbError("more than one device")
        dev = found[0]
    elif tid is not None:
        found = [d for d in devices if d[2] == tid]
        if not found:
            raise AdbError(f"no device with transport id '{tid}'")
        dev = found[0]
    else:
        if not devices:
            raise AdbError("no devices/emulators found")
        if len(devices) > 1:
            raise AdbError("more than one device/emulator")
        dev = devices[0]
    err = state_error(dev[1])
    if err:
        raise AdbError(err)
    return dev


# ---------------------------------------------------------------------------------
# The connection: smart-socket requests, then a device service


class Closed(Exception):
    pass


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise Closed()
        buf += chunk
    return buf


def read_request(sock):
    try:
        head = recv_exact(sock, 4)
    except Closed:
        return None
    try:
        n = int(head.decode("ascii"), 16)
    except ValueError:
        raise Closed()
    return recv_exact(sock, n).decode("utf-8", errors="surrogateescape")


def framed(text):
    data = text.encode("utf-8", errors="surrogateescape") if isinstance(text, str) else text
    return b"%04x" % len(data) + data


def peer_gone(sock):
    """True once the client has closed its end (data it sends meanwhile is dropped)."""
    try:
        r, _, _ = select.select([sock], [], [], 0)
        if not r:
            return False
        data = sock.recv(65536)
        return not data
    except OSError:
        return True


def hang(fx, sock, line):
    """Waits FAKE_ADB_HANG seconds before a matching request is answered. Returns
    False when the client went away meanwhile (the request is then dropped, as the
    device's shell would be hung up)."""
    value = fx.knob("FAKE_ADB_HANG")
    if value is None or not fx.knobs_apply(line):
        return True
    try:
        until = time.monotonic() + float(value)
    except ValueError:
        return True
    while time.monotonic() < until:
        if peer_gone(sock):
            return False
        time.sleep(min(0.05, max(0.0, until - time.monotonic())))
    return True


def finish(sock):
    """Ends a device stream without a reset: our side is shut, then whatever the client
    still sends (its stdin, close-stdin) is read until it closes."""
    try:
        sock.shutdown(socket.SHUT_WR)
        sock.settimeout(5)
        while sock.recv(65536):
            pass
    except OSError:
        pass


class Connection:
    def __init__(self, fx, sock):
        self.fx = fx
        self.sock = sock
        self.target = None  # (serial, state, tid) once a transport is chosen
        self.named = None  # the serial the client named, if any

    def okay(self, payload=b""):
        self.sock.sendall(b"OKAY" + payload)

    def fail(self, message):
        self.sock.sendall(b"FAIL" + framed(message))

    def serve(self):
        try:
            while True:
                req = read_request(self.sock)
                if req is None:
                    return
                if self.fx.trace:
                    with self.fx.lock, open(self.fx.trace, "a", encoding="utf-8", errors="surrogateescape") as f:
                        f.write(req + "\n")
                if not self.handle(req):
                    return
        except (Closed, OSError):
            return
        finally:
            try:
                self.sock.close()
            except OSError:
                pass

    # Returns True when the connection goes on with another request.
    def handle(self, req):
        if self.target is not None:
            self.device_service(req)
            return False
        m = re.match(r"host-serial:(.*):([^:]+)$", req)
        if m:
            return self.host(m.group(2), serial=m.group(1))
        m = re.match(r"host-transport-id:(\d+):(.+)$", req)
        if m:
            return self.host(m.group(2), tid=int(m.group(1)))
        for prefix in ("host:", "host-usb:", "host-local:"):
            if req.startswith(prefix):
                return self.host(req[len(prefix):])
        self.fail(f"unknown request '{req}' (this simulated server has no such service)")
        return False

    def host(self, service, serial=None, tid=None):
        fx = self.fx
        if service == "version":
            self.okay(framed("%04x" % SERVER_VERSION))
            return False
        if service == "host-features":
            self.okay(framed(HOST_FEATURES))
            return False
        if service == "features":
            try:
                pick_device(fx, serial, tid)
            except AdbError as e:
                self.fail(str(e))
                return False
            self.okay(framed(DEVICE_FEATURES))
            return False
        if service in ("devices", "devices-l"):
            line = "devices -l" if service == "devices-l" else "devices"
            fx.log_request(line)
            if not hang(fx, self.sock, line):
                return False
            if fx.knobs_apply(line) and fx.knob("FAKE_ADB_EXIT"):
                self.fail("simulated failure")
                return False
            if fx.knobs_apply(line) and fx.knob("FAKE_ADB_GARBAGE") == "1":
                self.okay(framed(GARBAGE))
                return False
            text = fx.listing()
            if service == "devices":
                text = "".join("\t".join(l.split()[:2]) + "\n"
                               for l in text.replace("\r", "").split("\n") if len(l.split()) >= 2)
            fx.count_served()  # the answer is the listing before this request counted
            self.okay(framed(text))
            return False
        if service in ("get-state", "get-serialno", "get-devpath"):
            line = (f"-s {serial} " if serial is not None else "") + service
            fx.log_request(line)
            if not hang(fx, self.sock, line):
                return False
            if fx.knobs_apply(line) and fx.knob("FAKE_ADB_EXIT"):
                self.fail("simulated failure")
                return False
            try:
                dev = pick_device(fx, serial, tid)
            except AdbError as e:
                self.fail(str(e))
                return False
            fx.count_served()
            if fx.knobs_apply(line) and fx.knob("FAKE_ADB_GARBAGE") == "1":
                self.okay(framed(GARBAGE))
                return False
            answer = {"get-state": dev[1], "get-serialno": dev[0], "get-devpath": "unknown"}[service]
            self.okay(framed(answer))
            return False
        m = re.match(r"(tport|transport)(?::serial:|:|-)(.*)$", service)
        if m and serial is None and tid is None:
            kind, rest = m.group(1), m.group(2)
            want = None
            if kind == "tport" and service.startswith("tport:serial:"):
                want = rest
            elif kind == "tport" and rest == "any":
                want = None
            elif kind == "transport" and service.startswith("transport:"):
                want = rest
            elif kind == "transport" and rest == "any":
                want = None
            else:
                self.fail(f"unsupported transport request '{service}'")
                return False
            try:
                self.target = pick_device(fx, want)
            except AdbError as e:
                self.fail(str(e))
                return False
            self.named = want
            self.okay(struct.pack("<Q", self.target[2]) if kind == "tport" else b"")
            return True
        self.fail(f"unsupported host service '{service}'")
        return False

    def device_service(self, req):
        fx = self.fx
        serial = self.target[0]
        prefix = f"-s {self.named} " if self.named is not None else ""
        v2 = False  # shell v2 packets; otherwise a raw stream (shell v1, exec)
        if req.startswith("shell:"):
            cmd, line = req[6:], prefix + "shell " + req[6:]
        elif req.startswith("shell,") and ":" in req:
            opts, cmd = req[6:].split(":", 1)
            v2 = "v2" in opts.split(",")
            line = prefix + "shell " + cmd
        elif req.startswith("exec:"):
            cmd, line = req[5:], prefix + "exec-out " + req[5:]
        else:
            self.fail(f"unsupported device service '{req}' (the simulated device offers shell and exec)")
            return
        fx.log_request(line)
        if not hang(fx, self.sock, line):
            return
        if fx.vanished():
            self.fail("device offline")  # the transport went away meanwhile
            return
        out = StreamOut(self.sock, v2)
        self.okay()
        status = 0
        try:
            if cmd.strip() == "":
                out.write(2, b"interactive shells are not simulated\n")
                status = 1
            elif fx.knobs_apply(line) and fx.knob("FAKE_ADB_EXIT"):
                out.write(2, b"error: simulated failure\n")
                try:
                    status = int(fx.knob("FAKE_ADB_EXIT")) & 0xff
                except ValueError:
                    status = 1
            elif fx.knobs_apply(line) and fx.knob("FAKE_ADB_GARBAGE") == "1":
                out.write(1, GARBAGE)
            else:
                fx.count_served()
                status = Device(fx, serial, out).run_script(cmd)
            out.exit(status)
        except OSError:
            return
        finish(self.sock)


class StreamOut:
    """The output of a device service: shell v2 packets (1-byte id, little-endian
    length) or a raw stream; written from any thread of the device shell."""

    def __init__(self, sock, v2):
        self.sock = sock
        self.v2 = v2
        self.lock = threading.Lock()

    def write(self, fd, data):
        if not data:
            return
        with self.lock:
            if self.v2:
                self.sock.sendall(struct.pack("<BI", 1 if fd == 1 else 2, len(data)) + data)
            else:
                self.sock.sendall(data)

    def exit(self, status):
        if self.v2:
            with self.lock:
                self.sock.sendall(struct.pack("<BI", 3, 1) + bytes([status & 0xff]))


# ---------------------------------------------------------------------------------
# The device shell: parsing


class ShellSyntax(Exception):
    pass


OPERATORS = ["&&", "||", "&", "|", ";", "(", ")", "\n"]


class Word:
    """A word of the script: parts ('lit', text, quoted) | ('var', name, quoted) |
    ('cmd', source, quoted) | ('arith', expression, quoted), expanded when the command
    runs."""

    def __init__(self):
        self.parts = []

    def add(self, kind, value, quoted):
        if kind == "lit" and self.parts and self.parts[-1][0] == "lit" and self.parts[-1][2] == quoted:
            self.parts[-1] = ("lit", self.parts[-1][1] + value, quoted)
        else:
            self.parts.append((kind, value, quoted))


def scan_substitution(s, i):
    """s[i] follows '$(': returns the index of the matching ')'."""
    depth = 1
    while i < len(s):
        c = s[i]
        if c == "\\":
            i += 2
            continue
        if c == "'":
            j = s.find("'", i + 1)
            if j < 0:
                raise ShellSyntax("unterminated quote")
            i = j + 1
            continue
        if c == '"':
            i += 1
            while i < len(s) and s[i] != '"':
                i += 2 if s[i] == "\\" else 1
            i += 1
            continue
        if c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return i
        i += 1
    raise ShellSyntax("')' missing")


def scan_backtick(s, i):
    """s[i] follows '`': returns (source, index after the closing backtick)."""
    out = []
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s) and s[i + 1] in "$`\\":
            out.append(s[i + 1])
            i += 2
            continue
        if c == "`":
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise ShellSyntax("unterminated `")


NAME_RE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def read_dollar(s, i, word, quoted):
    """s[i] == '$': adds the expansion to word, returns the next index."""
    nxt = s[i + 1] if i + 1 < len(s) else ""
    if s.startswith("((", i + 1):
        j = scan_substitution(s, i + 2)
        if s[j - 1] == ")":
            word.add("arith", s[i + 3:j - 1], quoted)
            return j + 1
    if nxt == "(":
        j = scan_substitution(s, i + 2)
        word.add("cmd", s[i + 2:j], quoted)
        return j + 1
    if nxt == "{":
        j = s.find("}", i + 2)
        if j < 0:
            raise ShellSyntax("missing '}'")
        word.add("var", s[i + 2:j], quoted)
        return j + 1
    if nxt and nxt in "?!$#0123456789@*-":
        word.add("var", nxt, quoted)
        return i + 2
    m = NAME_RE.match(s, i + 1)
    if m:
        word.add("var", m.group(0), quoted)
        return m.end()
    word.add("lit", "$", quoted)
    return i + 1


def tokenize(s):
    """Tokens: ('op', text) or ('word', Word); redirection operators carry their fd."""
    tokens = []
    i = 0
    n = len(s)
    while i < n:
        c = s[i]
        if c in " \t":
            i += 1
            continue
        if c == "#":
            while i < n and s[i] != "\n":
                i += 1
            continue
        if c == "\\" and i + 1 < n and s[i + 1] == "\n":
            i += 2
            continue
        m = re.match(r"(\d)?(>>|>&|>|<)", s[i:])
        if m:
            op = m.group(2)
            fd = int(m.group(1)) if m.group(1) else (0 if op == "<" else 1)
            i += m.end()
            if op == ">&":
                m2 = re.match(r"\d|-", s[i:])
                if not m2:
                    raise ShellSyntax("bad redirection")
                tokens.append(("redir", (fd, ">&", m2.group(0))))
                i += 1
            else:
                tokens.append(("redir", (fd, op, None)))
            continue
        op = next((o for o in OPERATORS if s.startswith(o, i)), None)
        if op is not None:
            tokens.append(("op", op))
            i += len(op)
            continue
        word = Word()
        while i < n:
            c = s[i]
            if c in " \t\n;&|()<>":
                break
            if c == "\\":
                if i + 1 < n:
                    if s[i + 1] != "\n":
                        word.add("lit", s[i + 1], True)
                    i += 2
                else:
                    i += 1
                continue
            if c == "'":
                j = s.find("'", i + 1)
                if j < 0:
                    raise ShellSyntax("no closing quote")
                word.add("lit", s[i + 1:j], True)
                if j == i + 1:
                    word.parts.append(("lit", "", True))
                i = j + 1
                continue
            if c == '"':
                i += 1
                start_parts = len(word.parts)
                while True:
                    if i >= n:
                        raise ShellSyntax("no closing quote")
                    c = s[i]
                    if c == '"':
                        i += 1
                        break
                    if c == "\\" and i + 1 < n and s[i + 1] in '$`"\\\n':
                        if s[i + 1] != "\n":
                            word.add("lit", s[i + 1], True)
                        i += 2
                        continue
                    if c == "$":
                        i = read_dollar(s, i, word, True)
                        continue
                    if c == "`":
                        src, i = scan_backtick(s, i + 1)
                        word.add("cmd", src, True)
                        continue
                    word.add("lit", c, True)
                    i += 1
                if len(word.parts) == start_parts:
                    word.parts.append(("lit", "", True))
                continue
            if c == "$":
                i = read_dollar(s, i, word, False)
                continue
            if c == "`":
                src, i = scan_backtick(s, i + 1)
                word.add("cmd", src, False)
                continue
            word.add("lit", c, False)
            i += 1
        tokens.append(("word", word))
    return tokens


def parse(s):
    """The script as a list of (and_or, background); and_or is a list of (operator,
    pipeline) with operator None, '&&' or '||'; a pipeline a list of commands; a
    command a dict of words, redirections and assignments."""
    tokens = tokenize(s)
    pos = 0

    def peek():
        return tokens[pos] if pos < len(tokens) else None

    def parse_command():
        nonlocal pos
        cmd = {"words": [], "redirs": [], "assign": [], "subshell": None}
        if peek() == ("op", "("):
            pos += 1
            cmd["subshell"] = parse_list(")")
            if peek() != ("op", ")"):
                raise ShellSyntax("syntax error: ')' missing")
            pos += 1
        while True:
            t = peek()
            if t is None or t[0] == "op":
                break
            if cmd["subshell"] is not None and t[0] == "word":
                raise ShellSyntax("syntax error: word after ')' unexpected")
            if t[0] == "redir":
                pos += 1
                fd, op, target = t[1]
                if op == ">&":
                    cmd["redirs"].append((fd, ">&", target))
                    continue
                t2 = peek()
                if t2 is None or t2[0] != "word":
                    raise ShellSyntax("syntax error: redirection without a file")
                pos += 1
                cmd["redirs"].append((fd, op, t2[1]))
                continue
            word = t[1]
            pos += 1
            first = word.parts[0] if word.parts else None
            if not cmd["words"] and first and first[0] == "lit" and not first[2] and \
                    re.match(r"[A-Za-z_][A-Za-z0-9_]*=", first[1]):
                name, _, rest = first[1].partition("=")
                value = Word()
                if rest:
                    value.add("lit", rest, False)
                value.parts.extend(word.parts[1:])
                cmd["assign"].append((name, value))
                continue
            cmd["words"].append(word)
        if not cmd["words"] and not cmd["assign"] and not cmd["redirs"] and cmd["subshell"] is None:
            t = peek()
            raise ShellSyntax(f"syntax error: '{t[1] if t else 'newline'}' unexpected")
        return cmd

    def parse_pipeline():
        nonlocal pos
        cmds = [parse_command()]
        while peek() == ("op", "|"):
            pos += 1
            cmds.append(parse_command())
        return cmds

    def parse_and_or():
        nonlocal pos
        items = [(None, parse_pipeline())]
        while peek() in (("op", "&&"), ("op", "||")):
            op = peek()[1]
            pos += 1
            while peek() == ("op", "\n"):
                pos += 1
            items.append((op, parse_pipeline()))
        return items

    def parse_list(end):
        nonlocal pos
        script = []
        while True:
            while peek() in (("op", ";"), ("op", "\n")):
                pos += 1
            if peek() is None or (end and peek() == ("op", end)):
                break
            and_or = parse_and_or()
            t = peek()
            background = t == ("op", "&")
            if t in (("op", "&"), ("op", ";"), ("op", "\n")):
                pos += 1
            elif t is not None and not (end and t == ("op", end)):
                raise ShellSyntax(f"syntax error: '{t[1] if t[0] == 'op' else '?'}' unexpected")
            script.append((and_or, background))
        return script

    script = parse_list(None)
    if peek() is not None:
        raise ShellSyntax(f"syntax error: '{peek()[1]}' unexpected")
    return script


# ---------------------------------------------------------------------------------
# The device shell: running


class Sink:
    def write(self, data):
        raise NotImplementedError


class BufferSink(Sink):
    def __init__(self):
        self.data = bytearray()

    def write(self, data):
        self.data += data


class StreamSink(Sink):
    def __init__(self, out, fd):
        self.out, self.fd = out, fd

    def write(self, data):
        self.out.write(self.fd, data)


class NullSink(Sink):
    def write(self, data):
        pass


class ExitShell(Exception):
    def __init__(self, status):
        self.status = status


class IO:
    def __init__(self, stdin, stdout, stderr):
        self.stdin, self.stdout, self.stderr = stdin, stdout, stderr

    def out(self, data):
        self.stdout.write(data if isinstance(data, bytes) else data.encode("utf-8", errors="surrogateescape"))

    def err(self, data):
        self.stderr.write(data if isinstance(data, bytes) else data.encode("utf-8", errors="surrogateescape"))


def device_path(path):
    """A device path made absolute and normal (the shell's working directory is /)."""
    norm = posixpath.normpath(posixpath.join("/", path))
    return "/" + norm.lstrip("/")


class Device:
    """One run of the device shell for the device `serial`; output goes to `out`."""

    def __init__(self, fx, serial, out):
        self.fx = fx
        self.serial = serial
        self.dir = os.path.join(fx.root, serial)
        os.makedirs(self.dir, exist_ok=True)
        self.out = out
        self.vars = {"?": "0", "$": str(fx.next_pid()), "0": SH, "#": "0", "PATH": "/system/bin",
                     "HOME": "/", "IFS": " \t\n"}
        self.jobs = {}  # pid -> thread
        self.job_status = {}
        self.lock = threading.Lock()

    # ---- files of the device

    def host_path(self, path):
        return os.path.join(self.dir, "files", device_path(path).lstrip("/"))

    def read_device_file(self, path):
        p = device_path(path)
        hp = self.host_path(p)
        if os.path.isdir(hp):
            raise OSError(f"{path}: Is a directory")
        with open(hp, "rb") as f:
            return f.read()

    def fixture_file(self, name):
        try:
            with open(os.path.join(self.dir, name), "rb") as f:
                return f.read()
        except OSError:
            return None

    def screen_in_sequence(self):
        """A screen that changes as it is captured: with <serial>/screens/N.png files,
        capture k (counted from 1 per device) shows the file of the largest N <= k."""
        folder = os.path.join(self.dir, "screens")
        try:
            numbers = sorted(int(n[:-4]) for n in os.listdir(folder) if n.endswith(".png") and n[:-4].isdigit())
        except OSError:
            return None
        if not numbers:
            return None
        with self.fx.lock:
            counter = os.path.join(folder, "captures")
            try:
                with open(counter) as f:
                    served = int(f.read().strip() or 0)
            except (OSError, ValueError):
                served = 0
            served += 1
            with open(counter, "w") as f:
                f.write(f"{served}\n")
        shown = max([n for n in numbers if n <= served], default=numbers[0])
        return self.fixture_file(os.path.join("screens", f"{shown}.png"))

    def log(self, name, words):
        line = name + "".join(" " + w for w in words) + "\n"
        with self.fx.lock:
            with open(os.path.join(self.dir, name + ".log"), "a", encoding="utf-8", errors="surrogateescape") as f:
                f.write(line)

    def open_sink(self, path, append):
        p = device_path(path)
        if p == "/dev/null":
            return NullSink()
        if p in ("/dev/tty", "/dev/stdout"):
            return StreamSink(self.out, 1)
        if p == "/dev/stderr":
            return StreamSink(self.out, 2)
        hp = self.host_path(p)
        if os.path.isdir(hp):
            raise OSError(f"can't create {path}: Is a directory")
        os.makedirs(os.path.dirname(hp), exist_ok=True)
        f = open(hp, "ab" if append else "wb")

        class FileSink(Sink):
            def write(self, data):
                f.write(data)
                f.flush()

            def close(self):
                f.close()
        return FileSink()

    # ---- expansion

    def expand(self, word, split=True):
        """The fields of one word after expansion."""
        fields = [""]
        had_quoted = False
        has_fields = False
        ifs = self.vars.get("IFS", " \t\n")
        for kind, value, quoted in word.parts:
            if kind == "lit":
                fields[-1] += value
                had_quoted = had_quoted or quoted
                has_fields = True
                continue
            if kind == "var":
                text = self.var(value)
            elif kind == "arith":
                text = self.arithmetic(value)
            else:
                text = self.substitute(value)
            if quoted or not split:
                fields[-1] += text
                had_quoted = had_quoted or quoted
                has_fields = True
                continue
            pieces = re.split("[" + re.escape(ifs) + "]+", text) if ifs else [text]
            if text and text[0] in ifs and pieces and pieces[0] == "":
                pieces = pieces[1:]
                if fields[-1] or has_fields:
                    fields.append("")
            trailing = bool(text) and text[-1] in ifs
            if pieces and pieces[-1] == "":
                pieces = pieces[:-1]
            for k, piece in enumerate(pieces):
                if k > 0:
                    fields.append("")
                fields[-1] += piece
                has_fields = True
            if trailing and pieces:
                fields.append("")
                has_fields = False
        if fields[-1] == "" and not had_quoted and (len(fields) > 1 or not has_fields):
            fields.pop()
        elif fields == [""] and not had_quoted:
            return []
        return fields

    def expand_one(self, word):
        return "".join(self.expand(word, split=False))

    def arithmetic(self, expr):
        """$((...)) with integers, + - * / %, comparisons and parentheses."""
        expr = re.sub(r"\$\{?([A-Za-z_][A-Za-z0-9_]*|[?!$#])\}?", lambda m: self.var(m.group(1)) or "0", expr)
        expr = re.sub(r"[A-Za-z_][A-Za-z0-9_]*", lambda m: self.var(m.group(0)) or "0", expr)
        if not re.fullmatch(r"[0-9+\-*/%()<>=! \t]*", expr):
            raise ShellSyntax(f"{expr}: unexpected character in arithmetic")
        expr = expr.replace("/", "//")
        try:
            value = eval(expr, {"__builtins__": {}}, {})  # digits and operators only, checked above
        except Exception as e:  # noqa: BLE001 - any failure is the shell's syntax error
            raise ShellSyntax(f"{expr}: bad arithmetic ({e})")
        return str(int(value))

    def var(self, name):
        with self.lock:
            return self.vars.get(name, "")

    def substitute(self, source):
        """$(...) and backticks: run through this shell, output without trailing newlines."""
        buf = BufferSink()
        sub = Device(self.fx, self.serial, self.out)
        sub.vars = dict(self.vars)
        try:
            status = sub.run_source(source, IO(b"", buf, StreamSink(self.out, 2)))
        except ExitShell as e:
            status = e.status
        with self.lock:
            self.vars["?"] = str(status)
        return buf.data.decode("utf-8", errors="surrogateescape").rstrip("\n")

    # ---- execution

    def subshell(self, script, io):
        """( ... ): the same device, its own copy of the variables."""
        sub = Device(self.fx, self.serial, self.out)
        sub.vars = dict(self.vars)
        try:
            status = sub.run_parsed(script, io)
        except ExitShell as e:
            status = e.status
        sub.wait_all()
        return status

    def run_script(self, source):
        io = IO(b"", StreamSink(self.out, 1), StreamSink(self.out, 2))
        try:
            status = self.run_source(source, io)
        except ExitShell as e:
            status = e.status
        self.wait_all()
        return status

    def run_source(self, source, io):
        try:
            script = parse(source)
        except ShellSyntax as e:
            io.err(f"{SH}: {e}\n")
            return 1
        return self.run_parsed(script, io)

    def run_parsed(self, script, io):
        status = 0
        for and_or, background in script:
            if background:
                pid = self.fx.next_pid()

                def job(ao=and_or, pid=pid):
                    try:
                        st = self.run_and_or(ao, IO(b"", io.stdout, io.stderr))
                    except ExitShell as e:
                        st = e.status
                    except Exception as e:  # noqa: BLE001 - the job's failure is its status
                        io.err(f"{SH}: internal error: {e}\n")
                        st = 2
                    with self.lock:
                        self.job_status[pid] = st
                t = threading.Thread(target=job, daemon=True)
                with self.lock:
                    self.jobs[pid] = t
                    self.vars["!"] = str(pid)
                t.start()
                status = 0
            else:
                status = self.run_and_or(and_or, io)
            with self.lock:
                self.vars["?"] = str(status)
        return status

    def wait_all(self):
        with self.lock:
            jobs = list(self.jobs.values())
        for t in jobs:
            t.join()

    def run_and_or(self, and_or, io):
        status = 0
        for op, pipeline in and_or:
            if op == "&&" and status != 0:
                continue
            if op == "||" and status == 0:
                continue
            status = self.run_pipeline(pipeline, io)
            with self.lock:
                self.vars["?"] = str(status)
        return status

    def run_pipeline(self, pipeline, io):
        stdin = io.stdin
        status = 0
        for k, cmd in enumerate(pipeline):
            last = k == len(pipeline) - 1
            stdout = io.stdout if last else BufferSink()
            status = self.run_command(cmd, IO(stdin, stdout, io.stderr))
            if not last:
                stdin = bytes(stdout.data)
        return status

    def run_command(self, cmd, io):
        try:
            words = []
            for w in cmd["words"]:
                words.extend(self.expand(w))
            assigns = [(name, self.expand_one(value)) for name, value in cmd["assign"]]
        except ShellSyntax as e:
            io.err(f"{SH}: {e}\n")
            return 1
        opened = []
        try:
            try:
                stdin, stdout, stderr = io.stdin, io.stdout, io.stderr
                for fd, op, target in cmd["redirs"]:
                    if op == ">&":
                        if target == "-":
                            sink = NullSink()
                        else:
                            sink = {"1": stdout, "2": stderr}.get(target)
                            if sink is None:
                                raise OSError(f"{target}: bad file descriptor")
                        if fd == 1:
                            stdout = sink
                        elif fd == 2:
                            stderr = sink
                        continue
                    name = self.expand_one(target)
                    if op == "<":
                        p = device_path(name)
                        stdin = b"" if p == "/dev/null" else self.read_device_file(name)
                        continue
                    sink = self.open_sink(name, op == ">>")
                    opened.append(sink)
                    if fd == 1:
                        stdout = sink
                    elif fd == 2:
                        stderr = sink
            except OSError as e:
                msg = e.strerror if getattr(e, "strerror", None) else str(e)
                if isinstance(e, FileNotFoundError):
                    msg = f"{e.filename and os.path.basename(e.filename) or ''}: No such file or directory"
                io.err(f"{SH}: {msg}\n")
                return 1
            cio = IO(stdin, stdout, stderr)
            if cmd["subshell"] is not None:
                return self.subshell(cmd["subshell"], cio)
            if not words:
                with self.lock:
                    for name, value in assigns:
                        self.vars[name] = value
                return 0
            return self.builtin(words, cio)
        finally:
            for s in opened:
                if hasattr(s, "close"):
                    s.close()

    def builtin(self, words, io):
        name = words[0]
        fn = COMMANDS.get(name)
        if fn is None and "/" in name:
            fn = COMMANDS.get(posixpath.basename(name)) if name.startswith(("/system/bin/", "/vendor/bin/")) else None
        if fn is None:
            io.err(f"{SH}: {name}: inaccessible or not found\n")
            return 127
        try:
            status = fn(self, words[1:], io)
        except (ExitShell, ShellSyntax):
            raise
        except OSError as e:
            io.err(f"{name}: {e}\n")
            return 1
        return 0 if status is None else status


# ---------------------------------------------------------------------------------
# The device's commands


COMMANDS = {}


def command(*names):
    def register(fn):
        for n in names:
            COMMANDS[n] = fn
        return fn
    return register


INPUT_SOURCES = {"keyboard", "mouse", "joystick", "touchpad", "touchscreen", "touchnavigation", "stylus",
                 "trackball", "dpad", "gamepad", "rotaryencoder"}
INPUT_COMMANDS = {"text", "keyevent", "tap", "swipe", "draganddrop", "press", "roll", "motionevent",
                  "keycombination"}


@command("input")
def cmd_input(dev, args, io):
    dev.log("input", args)
    i = 0
    while i < len(args):
        if args[i] == "-d":
            i += 2
        elif args[i] in INPUT_SOURCES:
            i += 1
        else:
            break
    if i >= len(args):
        io.err("Usage: input [<source>] [-d DISPLAY_ID] <command> [<arg>...]\n")
        return 1
    if args[i] not in INPUT_COMMANDS:
        io.err(f"Error: Unknown command: {args[i]}\n")
        return 1
    return 0


_raw_cache = {}


def png_to_raw(png):
    """The pixels of an 8-bit PNG as (width, height, RGBA bytes): what the raw form
    of screencap (raw_screen) is made from."""
    key = zlib.crc32(png), len(png)
    if key in _raw_cache:
        return _raw_cache[key]
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos = 8
    idat = b""
    palette = trns = None
    width = height = depth = ctype = interlace = None
    while pos + 8 <= len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        data = png[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", data)
        elif kind == b"PLTE":
            palette = data
        elif kind == b"tRNS":
            trns = data
        elif kind == b"IDAT":
            idat += data
        elif kind == b"IEND":
            break
    if depth != 8 or interlace != 0 or ctype not in (0, 2, 3, 4, 6):
        raise ValueError("unsupported PNG layout")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]
    raw = zlib.decompress(idat)
    stride = width * channels
    prev = bytearray(stride)
    rows = []
    p = 0
    for _ in range(height):
        ftype = raw[p]
        line = bytearray(raw[p + 1:p + 1 + stride])
        p += 1 + stride
        if ftype == 1:
            for x in range(channels, stride):
                line[x] = (line[x] + line[x - channels]) & 0xff
        elif ftype == 2:
            line = bytearray((a + b) & 0xff for a, b in zip(line, prev))
        elif ftype == 3:
            for x in range(stride):
                left = line[x - channels] if x >= channels else 0
                line[x] = (line[x] + ((left + prev[x]) >> 1)) & 0xff
        elif ftype == 4:
            for x in range(stride):
                a = line[x - channels] if x >= channels else 0
                b = prev[x]
                c = prev[x - channels] if x >= channels else 0
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 0xff
        rows.append(bytes(line))
        prev = line
    pixels = b"".join(rows)
    if ctype == 6:
        rgba = pixels
    elif ctype == 2:
        rgba = bytearray(width * height * 4)
        rgba[0::4], rgba[1::4], rgba[2::4] = pixels[0::3], pixels[1::3], pixels[2::3]
        rgba[3::4] = b"\xff" * (width * height)
    elif ctype == 0:
        rgba = bytearray(width * height * 4)
        rgba[0::4] = rgba[1::4] = rgba[2::4] = pixels
        rgba[3::4] = b"\xff" * (width * height)
    elif ctype == 4:
        rgba = bytearray(width * height * 4)
        rgba[0::4] = rgba[1::4] = rgba[2::4] = pixels[0::2]
        rgba[3::4] = pixels[1::2]
    else:
        lut = []
        for k in range(256):
            rgb = palette[3 * k:3 * k + 3] if palette and 3 * k + 3 <= len(palette) else b"\0\0\0"
            alpha = trns[k] if trns and k < len(trns) else 255
            lut.append(rgb + bytes([alpha]))
        rgba = b"".join(lut[v] for v in pixels)
    out = (width, height, bytes(rgba))
    if len(_raw_cache) >= 16:  # a few devices' screens, decoded once each
        _raw_cache.pop(next(iter(_raw_cache)))
    _raw_cache[key] = out
    return out


# Pixel formats of the raw form: number, bytes per pixel.
RAW_FORMATS = {"rgba": (1, 4), "rgbx": (2, 4), "rgb888": (3, 3), "rgb565": (4, 2), "rgba1010102": (43, 4)}


def raw_screen(png, spec):
    """What screencap prints without -p for the PNG `png` (any text a ROM printed
    around the image kept around the raw form). `spec` is the FAKE_SCREENCAP_RAW knob:
    words naming the pixel format (rgba by default, rgbx, rgb888, rgb565,
    rgba1010102), `header12` (the header without the colour-space word, as before
    Android 8.1), `truncated` (the stream ends halfway), `extra` (four bytes too
    many) or `error` (an error text in place of the image)."""
    words = (spec or "").split()
    if "error" in words:
        return b"Capturing failed.\n"
    start = png.find(b"\x89PNG\r\n\x1a\n")
    end = png.rfind(b"IEND")
    if start < 0 or end < 0:
        raise ValueError("not a PNG")
    before, after = png[:start], png[end + 8:]
    width, height, rgba = png_to_raw(png[start:end + 8])
    name = next((w for w in words if w in RAW_FORMATS), "rgba")
    fmt, bpp = RAW_FORMATS[name]
    if name in ("rgba", "rgba1010102"):
        pixels = rgba
    elif name == "rgbx":
        pixels = bytearray(rgba)
        pixels[3::4] = b"\x5a" * (width * height)  # the X byte holds anything
        pixels = bytes(pixels)
    elif name == "rgb888":
        pixels = bytearray(width * height * 3)
        pixels[0::3], pixels[1::3], pixels[2::3] = rgba[0::4], rgba[1::4], rgba[2::4]
        pixels = bytes(pixels)
    else:
        r, g, b = rgba[0::4], rgba[1::4], rgba[2::4]
        values = [((r[i] >> 3) << 11) | ((g[i] >> 2) << 5) | (b[i] >> 3) for i in range(width * height)]
        pixels = struct.pack("<%dH" % len(values), *values)
    header = struct.pack("<III", width, height, fmt)
    if "header12" not in words:
        header += struct.pack("<I", 1)  # colour space sRGB
    out = header + pixels
    if "truncated" in words:
        out = out[:len(out) // 2]
    if "extra" in words:
        out += b"\0\0\0\0"
    return before + out + after


@command("screencap")
def cmd_screencap(dev, args, io):
    display = None
    png = False
    target = None
    i = 0
    while i < len(args):
        a = args[i]
        if a == "-p":
            png = True
        elif a == "-d":
            display = args[i + 1] if i + 1 < len(args) else ""
            i += 1
        elif a == "-h":
            io.out("usage: screencap [-hp] [-d display-id] [FILENAME]\n")
            return 0
        else:
            target = a
        i += 1
    image = dev.screen_in_sequence() if display is None else None
    if image is None:
        image = dev.fixture_file("screencap.png" if display is None else f"screencap_d{display}.png")
    if image is None:
        io.out(f"Display Id '{display}' is not valid.\n" if display is not None else "Capturing failed.\n")
        return 0
    if target is not None:
        # A file name ending in .png gets a PNG, as on a device; anything else the raw form.
        data = image if png or target.endswith(".png") else raw_screen(image, dev.fx.knob("FAKE_SCREENCAP_RAW"))
        sink = dev.open_sink(target, False)
        sink.write(data)
        if hasattr(sink, "close"):
            sink.close()
        return 0
    io.out(image if png else raw_screen(image, dev.fx.knob("FAKE_SCREENCAP_RAW")))
    return 0


@command("dumpsys")
def cmd_dumpsys(dev, args, io):
    if not args:
        name = "all"
    elif args[:2] == ["SurfaceFlinger", "--display-id"]:
        name = "sf_display_id"
    else:
        name = args[0].lower()
    data = dev.fixture_file(f"dumpsys_{name}.txt")
    if data:
        io.out(data)
    return 0


UIAUTOMATOR_DEFAULT = "/sdcard/window_dump.xml"


@command("uiautomator")
def cmd_uiautomator(dev, args, io):
    if not args or args[0] != "dump":
        io.err("Usage: uiautomator dump [FILE]\n")
        return 1
    target = args[1] if len(args) > 1 else UIAUTOMATOR_DEFAULT
    mode = dev.fx.knob("FAKE_UIAUTOMATOR") or ""
    dev.log("uiautomator", args)
    if mode == "null-root-once":
        marker = os.path.join(dev.dir, ".uiautomator_null_root_seen")
        if os.path.exists(marker):
            mode = ""
        else:
            open(marker, "w").close()
            mode = "null-root"
    if mode == "idle":
        io.err("ERROR: could not get idle state.\n")
        return 0
    if mode == "null-root":
        io.err("ERROR: null root node returned by UiTestAutomationBridge.\n")
        return 0
    if mode == "silent":
        io.out(f"UI hierchary dumped to: {target}\n")
        return 0
    xml = dev.fixture_file("window_dump.xml")
    if xml is None:
        io.out("ERROR: null root node returned by UiTestAutomationBridge.\n")
        return 1
    to_stream = device_path(target) in ("/dev/tty", "/dev/stdout")
    if mode == "truncated":
        xml = xml[:len(xml) // 2]
    if to_stream:
        io.out(xml)
    else:
        sink = dev.open_sink(target, False)
        sink.write(xml)
        sink.close()
    if mode == "exit-nonzero":
        io.out(f"UI hierchary dumped to: {target}\n")
        io.err("java.lang.IllegalStateException: vendor hook failed after the dump (simulated)\n")
        return 1
    if mode == "truncated":
        io.err("Killed\n")
        return 137
    io.out(f"UI hierchary dumped to: {target}\n")
    return 0


@command("wm")
def cmd_wm(dev, args, io):
    dev.log("wm", args)
    if args == ["size"]:
        io.out(dev.fixture_file("wm_size.txt") or b"Physical size: 1080x2400\n")
    elif args == ["density"]:
        io.out(dev.fixture_file("wm_density.txt") or b"Physical density: 420\n")
    return 0


PROP_DEFAULTS = {"ro.build.version.release": "13", "ro.build.version.sdk": "33", "ro.product.model": "FakeDevice"}


@command("getprop")
def cmd_getprop(dev, args, io):
    props = (dev.fixture_file("getprop.txt") or b"").decode("utf-8", errors="surrogateescape")
    if not args:
        io.out(props)
        return 0
    value = ""
    for line in props.splitlines():
        m = re.match(r"\[(.*?)\]: \[(.*)\]$", line)
        if m and m.group(1) == args[0]:
            value = m.group(2)
            break
    if not value:
        value = PROP_DEFAULTS.get(args[0], "")
    io.out(value + "\n")
    return 0


def setting_path(dev, namespace, key):
    return os.path.join(dev.dir, "settings", namespace, key)


def ime_list(dev):
    data = dev.fixture_file("ime_list.txt")
    return data.decode("utf-8", errors="surrogateescape") if data is not None else "com.android.inputmethod.latin/.LatinIME\n"


@command("ime")
def cmd_ime(dev, args, io):
    dev.log("ime", args)
    current = setting_path(dev, "secure", "default_input_method")
    sub = args[0] if args else ""
    arg = args[1] if len(args) > 1 else ""
    if sub == "list":
        io.out(ime_list(dev))
    elif sub == "set":
        if os.path.exists(os.path.join(dev.dir, "ime_set_ignored")):
            io.out(f"Input method {arg} selected for user #0\n")
        elif arg in ime_list(dev).splitlines():
            os.makedirs(os.path.dirname(current), exist_ok=True)
            with open(current, "w") as f:
                f.write(arg + "\n")
            io.out(f"Input method {arg} selected for user #0\n")
        else:
            io.out(f"Unknown input method {arg} cannot be selected for user #0\n")
    elif sub == "enable":
        io.out(f"Input method {arg}: now enabled for user #0\n")
    elif sub == "reset":
        try:
            os.remove(current)
        except OSError:
            pass
        io.out("Reset input methods for user #0\n")
    return 0


@command("am")
def cmd_am(dev, args, io):
    dev.log("am", args)
    sub = args[0] if args else ""
    if sub == "start":
        io.out("Starting: Intent { }\n")
    elif sub == "broadcast":
        io.out("Broadcasting: Intent { }\n")
        action, msg = "", None
        i = 1
        while i < len(args):
            if args[i] == "-a":
                action = args[i + 1] if i + 1 < len(args) else ""
                i += 1
            elif args[i] == "--es":
                if i + 1 < len(args) and args[i + 1] == "msg":
                    msg = args[i + 2] if i + 2 < len(args) else ""
                i += 2
            i += 1
        current = ""
        try:
            with open(setting_path(dev, "secure", "default_input_method")) as f:
                current = f.read().strip()
        except OSError:
            pass
        # The ADB Keyboard commits the text of its broadcast while it is the current
        # input method; what it committed goes to adbkeyboard.txt.
        if action == "ADB_INPUT_B64" and msg is not None and current.startswith("com.android.adbkeyboard/"):
            try:
                text = base64.b64decode(msg, validate=False)
            except (binascii.Error, ValueError):
                text = b""
            with open(os.path.join(dev.dir, "adbkeyboard.txt"), "ab") as f:
                f.write(text)
        io.out("Broadcast completed: result=0\n")
    return 0


@command("settings")
def cmd_settings(dev, args, io):
    dev.log("settings", args)
    sub = args[0] if args else ""
    if sub == "get" and len(args) >= 3:
        try:
            with open(setting_path(dev, args[1], args[2]), "rb") as f:
                io.out(f.read())
        except OSError:
            io.out("null\n")
    elif sub == "put" and len(args) >= 4:
        path = setting_path(dev, args[1], args[2])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(args[3] + "\n")
    return 0


@command("cat")
def cmd_cat(dev, args, io):
    # Options may stand anywhere among the files, as toybox parses them.
    for a in args:
        if a.startswith("-") and a != "-":
            bad = next((c for c in a[1:] if c not in "etuvAET"), None)
            if bad is not None:
                io.err(f"cat: Unknown option '{bad}' (see \"cat --help\")\n")
                return 1
    operands = [a for a in args if a == "-" or not a.startswith("-")]
    if not operands:
        io.out(io.stdin)
        return 0
    status = 0
    for a in operands:
        if a == "-":
            io.out(io.stdin)
            continue
        if os.path.isdir(dev.host_path(a)):
            io.err(f"cat: {a}: Is a directory\n")
            status = 1
            continue
        try:
            io.out(dev.read_device_file(a))
        except OSError:
            io.err(f"cat: {a}: No such file or directory\n")
            status = 1
    return status


@command("rm")
def cmd_rm(dev, args, io):
    force = recursive = False
    status = 0
    operands = []
    for a in args:
        if a.startswith("-") and len(a) > 1 and not operands:
            force = force or "f" in a
            recursive = recursive or "r" in a or "R" in a
        else:
            operands.append(a)
    for a in operands:
        hp = dev.host_path(a)
        if os.path.isdir(hp) and not os.path.islink(hp):
            if not recursive:
                io.err(f"rm: {a}: is a directory\n")
                status = 1
                continue
            for base, dirs, files in os.walk(hp, topdown=False):
                for f in files:
                    os.remove(os.path.join(base, f))
                for d in dirs:
                    os.rmdir(os.path.join(base, d))
            os.rmdir(hp)
        elif os.path.lexists(hp):
            os.remove(hp)
        elif not force:
            io.err(f"rm: {a}: No such file or directory\n")
            status = 1
    return status


@command("echo")
def cmd_echo(dev, args, io):
    newline = True
    if args and args[0] == "-n":
        newline = False
        args = args[1:]
    io.out(" ".join(args) + ("\n" if newline else ""))
    return 0


def printf_format(fmt, args):
    out = []
    i = 0
    consumed = 0

    def next_arg():
        nonlocal consumed
        if consumed < len(args):
            consumed += 1
            return args[consumed - 1]
        return ""
    while i < len(fmt):
        c = fmt[i]
        if c == "\\" and i + 1 < len(fmt):
            esc = fmt[i + 1]
            out.append({"n": "\n", "t": "\t", "r": "\r", "\\": "\\", "a": "\a", "b": "\b", "f": "\f",
                        "v": "\v", "0": "\0"}.get(esc, "\\" + esc))
            i += 2
            continue
        if c == "%" and i + 1 < len(fmt):
            m = re.match(r"%([-+ #0]*)(\d*)(?:\.(\d+))?([sdbcxXou%])", fmt[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            flags, width, prec, conv = m.groups()
            i += m.end()
            if conv == "%":
                out.append("%")
                continue
            a = next_arg()
            if conv == "s":
                s = a if prec is None else a[:int(prec)]
            elif conv == "b":
                s = printf_format(a, [])[0]
            elif conv == "c":
                s = a[:1]
            else:
                try:
                    v = int(a, 0) if a else 0
                except ValueError:
                    v = 0
                s = format(v, {"d": "d", "x": "x", "X": "X", "o": "o", "u": "d"}[conv])
            if width:
                s = s.ljust(int(width)) if "-" in flags else s.rjust(int(width), "0" if "0" in flags and conv not in "sbc" else " ")
            out.append(s)
            continue
        out.append(c)
        i += 1
    return "".join(out), consumed


@command("printf")
def cmd_printf(dev, args, io):
    if not args:
        io.err("printf: Needs 1 argument\n")
        return 1
    fmt, rest = args[0], args[1:]
    while True:
        text, used = printf_format(fmt, rest)
        io.out(text)
        rest = rest[used:]
        if not rest or used == 0:
            break
    return 0


@command("sleep")
def cmd_sleep(dev, args, io):
    try:
        time.sleep(max(0.0, float(args[0])))
    except (IndexError, ValueError):
        io.err("sleep: Needs 1 argument\n")
        return 1
    return 0


@command("true", ":")
def cmd_true(dev, args, io):
    return 0


@command("false")
def cmd_false(dev, args, io):
    return 1


@command("wait")
def cmd_wait(dev, args, io):
    with dev.lock:
        jobs = dict(dev.jobs)
    if not args:
        for t in jobs.values():
            t.join()
        return 0
    status = 0
    for a in args:
        try:
            pid = int(a)
        except ValueError:
            io.err(f"{SH}: wait: {a}: bad number\n")
            return 1
        t = jobs.get(pid)
        if t is None:
            status = 127
            continue
        t.join()
        with dev.lock:
            status = dev.job_status.get(pid, 0)
    return status


@command("exit")
def cmd_exit(dev, args, io):
    try:
        status = int(args[0]) if args else int(dev.var("?") or 0)
    except ValueError:
        status = 1
    raise ExitShell(status & 0xff)


@command("touch")
def cmd_touch(dev, args, io):
    for a in args:
        if a.startswith("-"):
            continue
        hp = dev.host_path(a)
        if not os.path.isdir(os.path.dirname(hp)) and device_path(a).count("/") > 1:
            os.makedirs(os.path.dirname(hp), exist_ok=True)
        with open(hp, "ab"):
            pass
        os.utime(hp)
    return 0


@command("mkdir")
def cmd_mkdir(dev, args, io):
    for a in args:
        if a.startswith("-"):
            continue
        os.makedirs(dev.host_path(a), exist_ok=True)
    return 0


@command("ls")
def cmd_ls(dev, args, io):
    paths = [a for a in args if not a.startswith("-")] or ["/"]
    status = 0
    for a in paths:
        hp = dev.host_path(a)
        if os.path.isdir(hp):
            for name in sorted(os.listdir(hp)):
                io.out(name + "\n")
        elif os.path.exists(hp):
            io.out(a + "\n")
        else:
            io.err(f"ls: {a}: No such file or directory\n")
            status = 1
    return status


@command("test", "[")
def cmd_test(dev, args, io):
    if args and args[-1] == "]":
        args = args[:-1]
    negate = False
    if args and args[0] == "!":
        negate, args = True, args[1:]

    def result():
        if not args:
            return False
        if len(args) == 1:
            return args[0] != ""
        if len(args) == 2:
            op, a = args
            hp = dev.host_path(a) if op in ("-e", "-f", "-d", "-s") else None
            if op == "-e":
                return os.path.exists(hp)
            if op == "-f":
                return os.path.isfile(hp)
            if op == "-d":
                return os.path.isdir(hp)
            if op == "-s":
                return os.path.isfile(hp) and os.path.getsize(hp) > 0
            if op == "-n":
                return a != ""
            if op == "-z":
                return a == ""
            raise ValueError(op)
        if len(args) == 3:
            a, op, b = args
            if op in ("=", "=="):
                return a == b
            if op == "!=":
                return a != b
            ops = {"-eq": int.__eq__, "-ne": int.__ne__, "-lt": int.__lt__, "-le": int.__le__,
                   "-gt": int.__gt__, "-ge": int.__ge__}
            if op in ops:
                return ops[op](int(a), int(b))
        raise ValueError(" ".join(args))
    try:
        ok = result()
    except ValueError as e:
        io.err(f"test: {e}: unknown operand\n")
        return 2
    return 0 if ok != negate else 1


@command("base64")
def cmd_base64(dev, args, io):
    decode = "-d" in args or "--decode" in args
    files = [a for a in args if not a.startswith("-")]
    data = dev.read_device_file(files[0]) if files else io.stdin
    if decode:
        try:
            io.out(base64.b64decode(b"".join(data.split())))
        except (binascii.Error, ValueError):
            io.err("base64: bad input\n")
            return 1
    else:
        io.out(base64.b64encode(data) + b"\n")
    return 0


# ---------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description="simulated adb server for the tests")
    parser.add_argument("--root", required=True, help="the fixture directory")
    parser.add_argument("--port", type=int, default=0, help="loopback TCP port (0: any free one)")
    parser.add_argument("--port-file", help="also write the port to this file (for callers that cannot read a pipe "
                                            "while they wait)")
    parser.add_argument("--trace", help="append every request as received to this file")
    opts = parser.parse_args()
    fx = Fixture(opts.root, opts.trace)
    os.makedirs(os.path.join(fx.root, "knobs"), exist_ok=True)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", opts.port))
    listener.listen(64)

    # Whoever started us holds our stdin: when it is gone, so are we.
    def watch_stdin():
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        os._exit(0)
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # an interrupt of the test run ends us through stdin
    threading.Thread(target=watch_stdin, daemon=True).start()

    port = listener.getsockname()[1]
    if opts.port_file:
        with open(opts.port_file + ".tmp", "w") as f:
            f.write(f"{port}\n")
        os.replace(opts.port_file + ".tmp", opts.port_file)
    sys.stdout.write(f"{port}\n")
    sys.stdout.flush()

    while True:
        try:
            conn, _ = listener.accept()
        except OSError:
            continue
        threading.Thread(target=Connection(fx, conn).serve, daemon=True).start()


if __name__ == "__main__":
    main()
