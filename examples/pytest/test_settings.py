"""An example suite for the droidlens pytest plugin: run it on every online device of
the adb server, four at a time,

    PYTHONPATH=build/python /usr/bin/python3 -m pytest -n 4 examples/pytest

with a model configured as for the command (DROIDLENS_BASE_URL, DROIDLENS_MODEL, ...).
Each test gets a device to itself for its duration (the `device` fixture)."""


def test_the_settings_app_opens(droidlens_run, droidlens_assert):
    record = droidlens_run("automate", "open the Settings app", max_steps=5)
    assert record["status"] == "finished", record["message"]
    droidlens_assert("the Settings app is open")


def test_the_download_finishes(droidlens_run, droidlens_wait):
    droidlens_run("action", "tap the Download button")
    droidlens_wait("the download has finished", timeout=60, interval=2)


def test_the_search_box_is_on_the_home_screen(droidlens_run):
    record = droidlens_run("locate", "the search box")
    assert record["bounding_box"], record


def test_the_device_has_a_display(device, droidlens_run):
    record = droidlens_run("displays")
    assert record["device_id"] == device
    assert record["displays"]
