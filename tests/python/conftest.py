"""Fixtures of the droidlens Python tests: the simulated adb (tests/fakes/adb) and the
scripted chat-completions server (fake_chat_server), both as real child processes.

Run through ctest (make test), which puts the module of the build tree on PYTHONPATH
and names the programs in DROIDLENS_* variables."""
import json
import os
import shutil
import subprocess

import pytest

SOURCE_DIR = os.environ.get("DROIDLENS_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
BUILD_DIR = os.environ.get("DROIDLENS_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
FAKES_DIR = os.environ.get("DROIDLENS_FAKES_DIR", os.path.join(SOURCE_DIR, "tests", "fakes"))
FAKE_CHAT_SERVER = os.environ.get("DROIDLENS_FAKE_CHAT_SERVER", os.path.join(BUILD_DIR, "tests", "fake_chat_server"))
EXAMPLES = os.path.join(SOURCE_DIR, "examples")
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
            return [json.loads(line)["body"] for line in f if line.strip()]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
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


class FakeAdb:
    """The simulated device of tests/fakes/adb, first on PATH (see tests/fakes/README.md)."""

    def __init__(self, root):
        self.root = root
        os.makedirs(root, exist_ok=True)
        self.lines = []
        self.set_devices("List of devices attached\n\n")

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
    device = FakeAdb(str(tmp_path / "adb"))
    monkeypatch.setenv("PATH", FAKES_DIR + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
    monkeypatch.setenv("FAKE_ADB_ROOT", device.root)
    for knob in ("HANG", "EXIT", "GARBAGE", "ONLY", "VANISH_AFTER"):
        monkeypatch.delenv("FAKE_ADB_" + knob, raising=False)
    monkeypatch.delenv("FAKE_UIAUTOMATOR", raising=False)
    device.add_device(SERIAL)
    device.set_screen(SERIAL, example("settings_before.png"))
    device.set_file(SERIAL, "dumpsys_window.txt",
                    "  Display: mDisplayId=0 rootTasks=3\n"
                    "    mCurrentFocus=Window{1651cd4 u0 com.android.settings/.Main}\n")
    return device
