"""Ctrl-C during a run: KeyboardInterrupt reaches the caller promptly, and no adb child
of the simulated device is left behind. The run is a child Python process, sent a real
SIGINT."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import droidlens
from conftest import SERIAL, example, text_answer

SCRIPT = textwrap.dedent("""
    import sys, time, droidlens

    class SlowModel:  # a Python client that takes its time, one short wait after another
        def chat(self, messages, **options):
            print("thinking", flush=True)
            for _ in range(600):
                time.sleep(0.1)

    url, out = sys.argv[1], sys.argv[2]
    llm = SlowModel() if url == "python" else droidlens.Modelwire(
        droidlens.ModelConfig(url, "k", "m", timeout=60, max_retries=0))
    try:
        droidlens.route(llm, "automate", "go", output_dir=out, max_steps=5, lang="en")
    except KeyboardInterrupt as e:
        print("KeyboardInterrupt", flush=True)
        # The next run starts afresh: the old cancel request does not stop it.
        print(droidlens.route(None, "diff", "", [sys.argv[3], sys.argv[3]], output_dir=out)["mode"], flush=True)
        sys.exit(42)
    print("not interrupted", flush=True)
""")


def eventually(ready, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ready():
            return True
        time.sleep(0.02)
    return False


@pytest.mark.parametrize("where", ["adb", "model", "python model"])
def test_ctrl_c_during_automate(where, adb, model_server, tmp_path):
    if where == "adb":
        # The tap hangs on the device side: its adb client waits until it is killed.
        adb.set_knob("HANG", "47.25")
        adb.set_knob("ONLY", "input")
        server = model_server([text_answer('do(action="Tap", element=[500, 500])')])
    elif where == "model":
        server = model_server([{"delay_ms": 60000, "body": text_answer('do(action="Back")')}])
    out = tmp_path / "out"
    url = "python" if where == "python model" else server.base_url
    proc = subprocess.Popen([sys.executable, "-c", SCRIPT, url, str(out), example("settings_before.png")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if where == "adb":
            assert eventually(lambda: any("input tap" in line for line in adb.adb_log()))
            assert eventually(lambda: adb.clients_running() > 0)
        elif where == "model":
            assert eventually(lambda: len(server.requests()) == 1)
        else:
            assert proc.stdout.readline() == "thinking\n"
        time.sleep(0.1)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=20)
        stopped_after = time.monotonic() - sent
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 42, stderr
    assert stdout == "KeyboardInterrupt\ndiff\n"
    assert stopped_after < 5
    assert eventually(lambda: adb.clients_running() == 0, 5)
    assert adb.log(SERIAL) == []  # the tap never completed on the device


def test_cancel_from_another_thread_stops_the_run(adb, model_server, tmp_path):
    server = model_server([text_answer('do(action="Back")'), {"delay_ms": 60000, "body": text_answer("finish()")}])
    llm = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, None, "m", max_retries=0))
    canceller = threading.Thread(target=lambda: eventually(lambda: len(server.requests()) == 2) and droidlens.cancel())
    canceller.start()
    with pytest.raises(droidlens.CancelledError) as info:
        droidlens.route(llm, "automate", "go", output_dir=str(tmp_path), lang="en")
    canceller.join()
    assert str(info.value) == ("Cancelled after 1 completed step (step 2 was interrupted); "
                               f"step screenshots are in {tmp_path}")
    assert adb.log(SERIAL) == ["input keyevent 4"]
