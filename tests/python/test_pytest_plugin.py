"""The pytest plugin spreads a suite over the devices of the simulated adb server:
under pytest-xdist every test has its device alone, and offline devices are never leased."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD_DIR, example, tool_answer

pytest.importorskip("xdist")

SUITE = textwrap.dedent('''
    import json, os, time

    def record(serial, started):
        with open(os.environ["LEASE_LOG"], "a") as f:
            f.write(json.dumps({"serial": serial, "start": started, "end": time.monotonic(),
                                "worker": os.environ.get("PYTEST_XDIST_WORKER")}) + "\\n")

    {tests}

    def test_runs_a_mode_on_its_device(device, droidlens_run):
        started = time.monotonic()
        record_ = droidlens_run("displays")
        assert record_["device_id"] == device, record_
        record(device, started)
''')

HOLD = '''
def test_holds_{n}(device):
    started = time.monotonic()
    time.sleep(0.3)
    record(device, started)
'''


def run_suite(tmp_path, adb, *args):
    suite = tmp_path / "suite"
    suite.mkdir(exist_ok=True)
    (suite / "test_on_devices.py").write_text(SUITE.replace("{tests}", "".join(HOLD.format(n=n) for n in range(8))))
    log = tmp_path / "leases.jsonl"
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD_DIR, "python"), LEASE_LOG=str(log),
               ADB_SERVER_SOCKET=adb.socket_spec)
    env.pop("PYTEST_XDIST_WORKER", None)
    out = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-n", "3",
                          "--droidlens-lock-dir", str(tmp_path / "leases"), *args, str(suite)],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    records = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []
    return out, records


def test_three_workers_share_three_devices_and_never_one_device(adb, tmp_path):
    adb.add_device("emu-2")
    adb.add_device("emu-3")
    adb.lines.append("emu-4                  offline transport_id:9")
    adb.set_devices("List of devices attached\n" + "".join(line + "\n" for line in adb.lines) + "\n")
    for serial in ("emu-1", "emu-2", "emu-3"):
        adb.set_screen(serial, example("settings_before.png"))
        adb.set_file(serial, "dumpsys_display.txt",
                     '  Display 0:\n    mBaseDisplayInfo=DisplayInfo{"Built-in Screen", type INTERNAL, uniqueId '
                     '"local:1", real 1080 x 2400}\n')

    out, records = run_suite(tmp_path, adb)
    assert out.returncode == 0, out.stdout + out.stderr
    assert len(records) == 9
    by_device = {}
    for r in records:
        by_device.setdefault(r["serial"], []).append((r["start"], r["end"]))
    assert set(by_device) <= {"emu-1", "emu-2", "emu-3"}  # never the offline emu-4
    for serial, spans in by_device.items():
        spans.sort()
        for (_, end), (start, _) in zip(spans, spans[1:]):
            assert start >= end, f"two tests held {serial} at once: {spans}"

    # A pool without an online device fails its tests with the reason.
    out, _ = run_suite(tmp_path, adb, "--droidlens-devices", "emu-4")
    assert out.returncode != 0
    assert "no online device to run on (pool: emu-4)" in out.stdout


VERDICTS = textwrap.dedent('''
    def test_a_statement_that_holds(droidlens_assert):
        record = droidlens_assert("the Wi-Fi switch is on", image_paths=[{shot!r}], lang="en")
        assert record["reason"] == "The switch is on."

    def test_a_statement_that_does_not_hold(droidlens_assert):
        droidlens_assert("an error dialog is shown", image_paths=[{shot!r}], lang="en")
''')


def test_assert_helper_fails_a_test_with_the_reason_and_the_evidence(model_server, tmp_path):
    server = model_server([tool_answer("return_verdict", {"passed": True, "reason": "The switch is on.",
                                                          "evidence_box": [100, 100, 300, 200], "confidence": 0.9}),
                           tool_answer("return_verdict", {"passed": False, "reason": "No dialog is on the screen.",
                                                          "confidence": 0.9})])
    suite = tmp_path / "verdicts"
    suite.mkdir()
    (suite / "test_verdicts.py").write_text(VERDICTS.format(shot=example("settings_before.png")))
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD_DIR, "python"), DROIDLENS_BASE_URL=server.base_url,
               DROIDLENS_MODEL="vision-model")
    report = tmp_path / "junit.xml"
    out = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                          f"--junitxml={report}", str(suite)], capture_output=True, text=True, env=env, cwd=tmp_path,
                         timeout=300)
    assert out.returncode == 1, out.stdout + out.stderr
    assert "1 failed, 1 passed" in out.stdout
    assert "'an error dialog is shown' does not hold: No dialog is on the screen." in out.stdout
    # The evidence image is attached to the failed test's record.
    import xml.etree.ElementTree as ET
    props = [p.attrib for p in ET.parse(report).iter("property")]
    assert [p["name"] for p in props] == ["droidlens_evidence"]
    assert os.path.isfile(props[0]["value"])
