"""pytest plugin of droidlens: runs a test suite on a pool of Android devices.

Installed with the droidlens package and registered through the `pytest11` entry point,
so pytest loads it by itself. A test that takes the `device` fixture gets one device of
the pool to itself for its duration; with pytest-xdist (`pytest -n 4`) four workers run
four tests on four devices at once, never two on one device.

    def test_wifi_switch(droidlens_run, droidlens_assert):
        record = droidlens_run("locate", "the Wi-Fi switch")
        assert record["bounding_box"]
        droidlens_assert("the Wi-Fi switch is on")

The pool is every online device of the adb server (the local one, or the one named by
--droidlens-adb-server / DROIDLENS_ADB_SERVER), or the serials of --droidlens-devices.
Leases are advisory file locks in a directory shared by every worker on the machine
(--droidlens-lock-dir), so separate pytest runs on one host share the pool as well. A
lock dies with the process holding it: a crashed worker frees its device.
"""
import fcntl
import hashlib
import os
import re
import tempfile
import time

import pytest

import droidlens

# How often a worker looks for a free device while every device is leased.
_POLL_SECONDS = 0.2


def pytest_addoption(parser):
    group = parser.getgroup("droidlens", "droidlens: tests on Android devices")
    group.addoption("--droidlens-devices", metavar="S1,S2,...", default=os.environ.get("DROIDLENS_DEVICES"),
                    help="serials of the device pool (default: every online device of the adb server; "
                         "env DROIDLENS_DEVICES)")
    group.addoption("--droidlens-adb-server", metavar="HOST:PORT", default=None,
                    help="adb server of the devices (default: DROIDLENS_ADB_SERVER, else the local one)")
    group.addoption("--droidlens-lock-dir", metavar="DIR", default=None,
                    help="directory of the device leases, shared by every worker (default: one per adb server "
                         "in the temporary directory)")
    group.addoption("--droidlens-lease-timeout", metavar="SECONDS", type=float, default=600.0,
                    help="how long a test waits for a free device before it errors (default 600)")


def pytest_configure(config):
    # Every adb call of droidlens in this process (the pool's listing, the tests' runs)
    # goes to the server the option names.
    server = config.getoption("droidlens_adb_server")
    if server:
        os.environ["DROIDLENS_ADB_SERVER"] = server


def _adb_server(config):
    return config.getoption("droidlens_adb_server") or os.environ.get("DROIDLENS_ADB_SERVER") or None


def _lock_dir(config):
    chosen = config.getoption("droidlens_lock_dir")
    if chosen:
        return chosen
    # One directory per adb server, so that pools of different servers never share
    # leases: the same serial on two servers is two devices.
    server = "|".join(str(v) for v in (_adb_server(config), os.environ.get("ADB_SERVER_SOCKET"),
                                       os.environ.get("ANDROID_ADB_SERVER_PORT")))
    key = hashlib.sha256(server.encode()).hexdigest()[:16]
    return os.path.join(tempfile.gettempdir(), f"droidlens-leases-{os.getuid()}-{key}")


def _online_devices(config):
    """Serials of the pool that adb lists as online ("device"), in the pool's order."""
    online = [d["device_id"] for d in droidlens.devices() if d["status"] == "device"]
    wanted = config.getoption("droidlens_devices")
    if not wanted:
        return online, online
    pool = [s.strip() for s in wanted.split(",") if s.strip()]
    return pool, [s for s in pool if s in online]


class Lease:
    """One device held by this process: its serial and the locked file that holds it."""

    def __init__(self, serial, handle):
        self.serial = serial
        self._handle = handle

    def release(self):
        if self._handle is not None:
            fcntl.flock(self._handle, fcntl.LOCK_UN)
            self._handle.close()
            self._handle = None


def _try_lock(directory, serial):
    # Serials of network devices hold ':' and '.', fine in a file name; anything else
    # that could leave the directory is replaced.
    name = re.sub(r"[^A-Za-z0-9._:-]", "_", serial) + ".lease"
    handle = open(os.path.join(directory, name), "a+")
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        handle.close()
        return None
    handle.seek(0)
    handle.truncate()
    handle.write(f"{os.getpid()}\n")
    handle.flush()
    return Lease(serial, handle)


def lease_device(config, timeout=None):
    """Leases one online device of the pool, waiting while all are leased. The pool is
    listed again at every attempt, so a device that went offline is not leased again.
    Fails the test when the pool has no online device or none frees up in time."""
    directory = _lock_dir(config)
    os.makedirs(directory, exist_ok=True)
    timeout = config.getoption("droidlens_lease_timeout") if timeout is None else timeout
    deadline = time.monotonic() + timeout
    # Workers start their search at different devices, so they rarely race for one.
    worker = os.environ.get("PYTEST_XDIST_WORKER", "gw0")
    start = int(worker[2:]) if worker[2:].isdigit() else 0
    while True:
        try:
            pool, online = _online_devices(config)
        except droidlens.DeviceError as e:
            pytest.fail(f"droidlens: cannot list the devices of the pool: {e}", pytrace=False)
        if not online:
            where = ", ".join(pool) if pool else "adb lists no device"
            pytest.fail(f"droidlens: no online device to run on (pool: {where})", pytrace=False)
        for i in range(len(online)):
            lease = _try_lock(directory, online[(start + i) % len(online)])
            if lease is not None:
                return lease
        if time.monotonic() >= deadline:
            pytest.fail(f"droidlens: every device of the pool ({', '.join(online)}) stayed leased for "
                        f"{timeout:g} s", pytrace=False)
        time.sleep(_POLL_SECONDS)


@pytest.fixture
def device(request):
    """The serial of a device leased to this test alone, freed when the test ends."""
    lease = lease_device(request.config)
    try:
        yield lease.serial
    finally:
        lease.release()


@pytest.fixture(scope="session")
def droidlens_model():
    """The configured model client (droidlens.load_model_config(): environment and
    config file), one per worker."""
    return droidlens.Modelwire(droidlens.load_model_config())


def _runner(request, output_dir):
    """route() with the configured model and the test's output directory; the device
    is leased when the first run that needs one starts (screenshot files and the diff
    mode need none)."""

    def run(mode, prompt="", **options):
        options.setdefault("output_dir", output_dir)
        if mode != "diff" and not options.get("image_paths"):
            options.setdefault("device_id", request.getfixturevalue("device"))
        info = next((m for m in droidlens.modes() if m["name"] == mode), None)
        llm = request.getfixturevalue("droidlens_model") if info and info["needs_model"] else None
        return droidlens.route(llm, mode, prompt, **options)

    return run


@pytest.fixture
def droidlens_run(request, tmp_path):
    """droidlens_run(mode, prompt="", **options) runs droidlens.route() with the
    configured model, its files in a directory of this test, on a device leased to
    this test (leased at the first run that captures from a device)."""
    return _runner(request, str(tmp_path / "droidlens"))


def _verdict(request, run, mode, statement, options):
    record = run(mode, statement, **options)
    if record.get("passed") is True:
        return record
    evidence = record.get("annotated_image_path")
    if evidence:
        # junit XML and report plugins show a test's user properties.
        request.node.user_properties.append(("droidlens_evidence", evidence))
    waited = f" after {record['waited_s']} s" if "waited_s" in record else ""
    pytest.fail(f"{statement!r} does not hold{waited}: {record.get('reason', '')}"
                + (f"\nevidence: {evidence}" if evidence else ""), pytrace=False)


@pytest.fixture
def droidlens_assert(request, droidlens_run):
    """droidlens_assert(statement, **options) asks the model whether the statement is
    true of the screen (the leased device's, or image_paths). A statement that does
    not hold fails the test with the model's reason, and the evidence image is named
    in the failure and attached as the user property "droidlens_evidence". Returns
    the record when it holds."""
    return lambda statement, **options: _verdict(request, droidlens_run, "assert", statement, options)


@pytest.fixture
def droidlens_wait(request, droidlens_run):
    """droidlens_wait(statement, timeout=30, interval=1, **options) polls the leased
    device's screen until the statement is true; fails the test like droidlens_assert
    when the time is up."""
    return lambda statement, **options: _verdict(request, droidlens_run, "wait", statement, options)
