"""Fixtures of the droidlens Python tests: the simulated adb server (tests/fakes/adb_server.py,
reached by the real adb client) and the scripted chat-completions server
(fake_chat_server), both as real child processes.

Run through ctest (make test), which puts the module of the build tree on PYTHONPATH
and names the programs in DROIDLENS_* variables."""
import json
import os
import shutil
import subprocess
import sys

import pytest

SOURCE_DIR = os.environ.get("DROIDLENS_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("DROIDLENS_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
FAKES_DIR = os.environ.get("DROIDLENS_FAKES_DIR", os.path.join(SOURCE_DIR, "tests", "fakes"))
FAKE_CHAT_SERVER = os.environ.get("DROIDLENS_FAKE_CHAT_SERVER", os.path.join(BUILD_DIR, "tests", "fake_chat_server"))
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
ADB_SERVER = os.path.join(FAKES_DIR, "adb_server.py")
# Where adb looks for its server when no fixture is active: the client never starts a
# server for a tcp: address whose host is not "localhost", and nothing listens on
# port 1, so adb fails at once instead of starting a real server (tests/CMakeLists.txt
# sets the same for the C++ tests).
NO_ADB_SERVER = "tcp:127.0.0.1:1"
SERIAL = "emu-1"

# Model settings of the machine running the tests must not reach them.
MODEL_VARIABLES = ["DROIDLENS_BASE_URL", "OPENAI_BASE_URL", "DROIDLENS_API_KEY", "OPENAI_API_KEY", "DROIDLENS_MODEL",
                   "DROIDLENS_TEMPERATURE", "DROIDLENS_MAX_TOKENS", "DROIDLENS_TIMEOUT"]


def example(name):
    return os.path.join(EXAMPLES, name)


def completion(message, finish_reason="stop"):
    return {"id": "chatcmpl-test", "object": "chat.completion", "created": 0, "model": "fake-model",
            "choices": [{"index": 0, "message": message, "finish_reason": finish_reason}]}


def tool_answer(name, arguments):
    """The response body of a model calling tool `name` with `arguments` (a dict)."""
    call = {"id": "call_1", "type": "function", "function": {"name": name, "arguments": json.dumps(arguments)}}
    return completion({"role": "assistant", "content": None, "tool_calls": [call]}, "tool_calls")


def text_answer(content):
    return completion({"role": "assistant", "content": content, "tool_calls": None})


def end_by_closing_stdin(proc):
    """Ends a fake server the way it expects: end of input, then a kill if it lingers."""
    proc.stdin.close()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class ChatServer:
    """fake_chat_server answering the scripted replies in order and logging every request."""

    def __init__(self, workdir, replies):
        self.script = os.path.join(workdir, "script.json")
        self.log = os.path.join(workdir, "requests.log")
        # A reply is a script entry when it says how to answer, else a response body.
        entries = [r if "body" in r or "body_text" in r else {"body": r} for r in replies]
        with open(self.script, "w") as f:
            json.dump(entries, f)
        self.proc = subprocess.Popen([FAKE_CHAT_SERVER, "--script", self.script, "--log", self.log],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        first = self.proc.stdout.readline().decode().split()
        assert first and first[0] == "PORT", f"fake_chat_server did not start: {first}"
        self.base_url = f"http://127.0.0.1:{first[1]}/v1"

    def requests(self):
        """The JSON bodies of the requests received so far."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            # A line the server is still writing (no line break yet) is not a request yet.
            return [json.loads(line)["body"] for line in f if line.endswith("\n") and line.strip()]

    def stop(self):
        if self.proc.poll() is None:
            end_by_closing_stdin(self.proc)
        self.proc.stdout.close()


@pytest.fixture
def model_server(tmp_path):
    """model_server(replies) starts a scripted server; each reply is a response body,
    or a script entry ({"status": ..., "body": ..., "delay_ms": ...})."""
    servers = []

    def start(replies):
        d = tmp_path / f"server{len(servers)}"
        d.mkdir()
        servers.append(ChatServer(str(d), replies))
        return servers[-1]

    yield start
    for s in servers:
        s.stop()


@pytest.fixture(autouse=True)
def no_model_settings(monkeypatch):
    for name in MODEL_VARIABLES:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(autouse=True)
def no_real_adb_server(monkeypatch):
    monkeypatch.setenv("ADB_SERVER_SOCKET", NO_ADB_SERVER)
    monkeypatch.delenv("ANDROID_ADB_SERVER_PORT", raising=False)


class FakeAdb:
    """A fixture directory served by the simulated adb server (see tests/fakes/README.md);
    the real adb client reaches it through ADB_SERVER_SOCKET."""

    KNOBS = ("FAKE_ADB_HANG", "FAKE_ADB_EXIT", "FAKE_ADB_GARBAGE", "FAKE_ADB_ONLY", "FAKE_ADB_VANISH_AFTER",
             "FAKE_UIAUTOMATOR")

    def __init__(self, root):
        self.root = root
        os.makedirs(os.path.join(root, "knobs"), exist_ok=True)
        self.lines = []
        self.set_devices("List of devices attached\n\n")
        # The pipe on its stdin is its lifeline: it exits when the pipe closes, also
        # when this process dies.
        self.proc = subprocess.Popen([sys.executable, ADB_SERVER, "--root", root], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, start_new_session=True)
        line = self.proc.stdout.readline().decode().strip()
        self.proc.stdout.close()
        if not line.isdigit():
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError(f"the simulated adb server did not report its port (got {line!r})")
        self.port = int(line)
        self.socket_spec = f"tcp:127.0.0.1:{self.port}"

    def stop(self):
        """Ends the server; fails when it had ended before (every answer since was not its)."""
        died = self.proc.poll()
        end_by_closing_stdin(self.proc)
        if died is not None:
            pytest.fail(f"the simulated adb server died during the test (status {died}); see its standard error")

    def set_knob(self, name, value):
        """Knob FAKE_ADB_<NAME> (or a full FAKE_ name): a file the server reads on every request."""
        full = name if name.startswith("FAKE_") else "FAKE_ADB_" + name
        with open(os.path.join(self.root, "knobs", full), "w") as f:
            f.write(str(value))

    def clients_running(self):
        """How many adb client processes talking to this server are alive."""
        want = f"ADB_SERVER_SOCKET={self.socket_spec}".encode()
        n = 0
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv0 = f.read().split(b"\0")[0]
                if os.path.basename(argv0) != b"adb":
                    continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    n += want in f.read().split(b"\0")
            except OSError:
                pass
        return n

    def set_devices(self, text):
        with open(os.path.join(self.root, "devices.txt"), "w") as f:
            f.write(text)
    def add_device(self, serial, model="Pixel_7"):
        self.lines.append(f"{serial:<22} device product:fake model:{model} device:fake transport_id:{len(self.lines) + 1}")
        self.set_devices("List of devices attached\n" + "".join(line + "\n" for line in self.lines) + "\n")
        os.makedirs(self.device_dir(serial), exist_ok=True)

    def device_dir(self, serial):
        return os.path.join(self.root, serial)

    def set_file(self, serial, name, data):
        path = os.path.join(self.device_dir(serial), name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)

    def set_screen(self, serial, png_path, display=None):
        name = "screencap.png" if display is None else f"screencap_d{display}.png"
        shutil.copyfile(png_path, os.path.join(self.device_dir(serial), name))

    def log(self, serial, name="input"):
        path = os.path.join(self.device_dir(serial), name + ".log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def adb_log(self):
        path = os.path.join(self.root, "adb.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()


@pytest.fixture
def adb(tmp_path, monkeypatch):
    """A device "emu-1" showing examples/settings_before.png, with a window report."""
    for knob in FakeAdb.KNOBS:
        monkeypatch.delenv(knob, raising=False)
    device = FakeAdb(str(tmp_path / "adb"))
    # The socket wins over the port; both name the same server.
    monkeypatch.setenv("ADB_SERVER_SOCKET", device.socket_spec)
    monkeypatch.setenv("ANDROID_ADB_SERVER_PORT", str(device.port))
    device.add_device(SERIAL)
    device.set_screen(SERIAL, example("settings_before.png"))
    device.set_file(SERIAL, "dumpsys_window.txt",
                    "  Display: mDisplayId=0 rootTasks=3\n"
                    "    mCurrentFocus=Window{1651cd4 u0 com.android.settings/.Main}\n")
    yield device
    device.stop()
