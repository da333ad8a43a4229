"""Several devices from one process: threads run modes on different devices at once,
each run can be cancelled alone, and the adb server and the device can come from the
environment."""
import threading
import time

import pytest

import droidlens
from conftest import SERIAL, example, text_answer

DELAY = 2.0
DISPLAY = ('  Display 0:\n    mBaseDisplayInfo=DisplayInfo{"Built-in Screen", type INTERNAL, uniqueId '
           '"local:4619827259835644672", real 1080 x 2400}\n')


def add_devices(adb, *serials):
    for serial in serials:
        adb.add_device(serial)
        adb.set_screen(serial, example("settings_before.png"))
        adb.set_file(serial, "dumpsys_window.txt", "    mCurrentFocus=Window{1 u0 com.android.settings/.Main}\n")


def run_in_threads(work, count):
    results, errors = [None] * count, [None] * count

    def target(i):
        try:
            results[i] = work(i)
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors[i] = e

    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    return threads, results, errors


def test_three_threads_drive_three_devices_at_once(adb, model_server, tmp_path):
    add_devices(adb, "emu-2", "emu-3")
    serials = [SERIAL, "emu-2", "emu-3"]
    server = model_server([{"delay_ms": int(DELAY * 1000), "body": text_answer('do(action="Back")')}] * 3 +
                          [text_answer('finish(message="done")')] * 3)
    llm = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, None, "m", max_retries=0, timeout=30))
    started = time.monotonic()
    threads, results, errors = run_in_threads(
        lambda i: droidlens.route(llm, "automate", "go back", device_id=serials[i], output_dir=str(tmp_path / str(i)),
                                  lang="en", capture="png"), 3)
    for t in threads:
        t.join()
    elapsed = time.monotonic() - started
    assert errors == [None] * 3
    assert [r["status"] for r in results] == ["finished"] * 3
    for serial in serials:  # each run acted on its own device, once
        assert adb.log(serial) == ["input keyevent 4"]
    # Each run waits once for a delayed answer; one after another they would wait three times.
    # (The screenshots are taken with -p: six raw captures of 1080x2400 through the one
    # Python process that simulates all three devices take a second or more of their own.)
    assert elapsed < 2 * DELAY, f"three runs took {elapsed:.1f} s for answers of {DELAY} s"


def test_a_cancel_token_stops_its_own_run_only(adb, model_server, tmp_path):
    add_devices(adb, "emu-2")
    server = model_server([{"delay_ms": 60000, "body": text_answer('do(action="Back")')},
                           text_answer('do(action="Home")'), text_answer('finish(message="done")')])
    llm = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, None, "m", max_retries=0, timeout=90))
    token = droidlens.CancelToken()
    threads, results, errors = run_in_threads(
        lambda i: droidlens.route(llm, "automate", "go", device_id=SERIAL, output_dir=str(tmp_path / "a"), lang="en",
                                  cancel_token=token), 1)
    deadline = time.monotonic() + 20
    while not server.requests() and time.monotonic() < deadline:
        time.sleep(0.01)
    other = droidlens.route(llm, "automate", "go", device_id="emu-2", output_dir=str(tmp_path / "b"), lang="en")
    assert other["status"] == "finished"
    assert not token.cancelled
    token.cancel()
    threads[0].join(10)
    assert not threads[0].is_alive()
    assert isinstance(errors[0], droidlens.CancelledError)
    assert token.cancelled
    assert adb.log(SERIAL) == [] and adb.log("emu-2") == ["input keyevent 3"]
    with pytest.raises(TypeError, match="cancel_token"):
        droidlens.route(None, "displays", "", cancel_token="stop")


def test_adb_server_and_device_from_the_environment(adb, monkeypatch, tmp_path):
    add_devices(adb, "emu-2")
    for serial in (SERIAL, "emu-2"):
        adb.set_file(serial, "dumpsys_display.txt", DISPLAY)
    # Only DROIDLENS_ADB_SERVER says where the server is (not adb's default port).
    monkeypatch.delenv("ADB_SERVER_SOCKET")
    monkeypatch.delenv("ANDROID_ADB_SERVER_PORT")
    monkeypatch.setenv("DROIDLENS_ADB_SERVER", f"127.0.0.1:{adb.port}")
    monkeypatch.setenv("ANDROID_SERIAL", "emu-2")
    record = droidlens.route(None, "displays", "", output_dir=str(tmp_path))
    assert record["displays"][0]["real_size"] == [1080, 2400]
    assert any(line.startswith("-s emu-2 ") for line in adb.adb_log())
    assert not any(line.startswith(f"-s {SERIAL} ") for line in adb.adb_log())

    monkeypatch.setenv("ANDROID_SERIAL", "emu-9")
    with pytest.raises(droidlens.DeviceError, match=r"Device not found: emu-9 \(named by ANDROID_SERIAL;"):
        droidlens.route(None, "displays", "", output_dir=str(tmp_path))
    monkeypatch.setenv("DROIDLENS_ADB_SERVER", "127.0.0.1")
    with pytest.raises(droidlens.UsageError, match=r"Invalid adb server '127.0.0.1': no port \(expected HOST:PORT\)"):
        droidlens.route(None, "displays", "", output_dir=str(tmp_path))
