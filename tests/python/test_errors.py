"""The router's argument checks and the error kinds, with the library's exact messages."""
import builtins
import os

import pytest

import droidlens
from conftest import SERIAL, example

DIFF_PAIR = [example("settings_before.png"), example("settings_after.png")]


def test_error_classes_derive_from_the_builtin_kinds():
    for ours, builtin in [(droidlens.ValueError, builtins.ValueError), (droidlens.TypeError, builtins.TypeError),
                          (droidlens.RuntimeError, builtins.RuntimeError), (droidlens.OSError, builtins.OSError),
                          (droidlens.TimeoutError, builtins.TimeoutError)]:
        assert issubclass(ours, builtin) and issubclass(ours, droidlens.Error)
    for sub in (droidlens.ModelServiceError, droidlens.CancelledError, droidlens.TimeoutError):
        assert issubclass(sub, droidlens.RuntimeError)
    # A star import leaves the built-in names alone.
    scope = {}
    exec("from droidlens import *", scope)
    assert "ValueError" not in scope and "route" in scope and "Error" in scope


@pytest.mark.parametrize("args, kwargs, kind, message", [
    ((None, "Diff", ""), {}, droidlens.ValueError, "Unknown mode: Diff"),
    ((None, "locate", "x"), {}, droidlens.ValueError, "Mode 'locate' needs a model client, but none was given"),
    ((None, "diff", ""), {"display_id": "2"}, droidlens.TypeError,
     "Argument 'display_id' has incorrect type (expected int, got str)"),
    ((None, "diff", ""), {"image_paths": ("a", "b")}, droidlens.TypeError,
     "Argument 'image_paths' has incorrect type (expected list, got tuple)"),
    ((None, "diff", ""), {"image_paths": ["a", 3]}, droidlens.TypeError,
     "Argument 'image_paths[1]' has incorrect type (expected str, got int)"),
    ((None, "diff", ""), {"output_dir": object()}, droidlens.TypeError,
     "Argument 'output_dir' has incorrect type (expected str, got object)"),
    ((None, "diff", b""), {}, droidlens.TypeError, "Argument 'prompt' has incorrect type (expected str, got bytes)"),
    ((None, "diff", ""), {"display_id": float("nan")}, droidlens.ValueError, "cannot convert float NaN to integer"),
    ((None, "diff", ""), {"colour": 1}, droidlens.TypeError, "route() got an unexpected keyword argument 'colour'"),
    ((None, "diff", ""), {"llm": None}, droidlens.TypeError, "route() got multiple values for argument 'llm'"),
    ((None, "diff", "", None, None, None, "o", 1, "en", "extra"), {}, droidlens.TypeError,
     "route() takes from 3 to 9 positional arguments but 10 were given"),
    ((None, "diff"), {}, droidlens.TypeError, "route() missing 1 required positional argument: 'prompt'"),
    ((), {}, droidlens.TypeError, "route() missing 3 required positional arguments: 'llm', 'mode', and 'prompt'"),
    ((), {"mode": "diff"}, droidlens.TypeError, "route() missing 2 required positional arguments: 'llm' and 'prompt'"),
    ((42, "diff", ""), {}, droidlens.TypeError,
     "Argument 'llm' has incorrect type (expected Modelwire or an object with a chat method, got int)"),
    ((None, "diff", ""), {"image_paths": [example("settings_before.png")]}, droidlens.ValueError,
     "diff mode requires two images"),
])
def test_rejections(args, kwargs, kind, message, tmp_path):
    if len(args) < 7:  # a run that got through would write here
        kwargs = {"output_dir": str(tmp_path), **kwargs}
    with pytest.raises(kind) as info:
        droidlens.route(*args, **kwargs)
    assert str(info.value) == message
    assert os.listdir(tmp_path) == []  # nothing ran, nothing was written


def test_all_arguments_by_name_and_numbers_truncated(tmp_path):
    record = droidlens.route(llm=None, mode="diff", prompt="", image_paths=DIFF_PAIR, device_id=None,
                             display_id=2.9, output_dir=str(tmp_path), max_steps=True, lang="en")
    assert record["mode"] == "diff"
    positional = droidlens.route(None, "diff", "", DIFF_PAIR, None, None, str(tmp_path), 10, "cn")
    assert positional == record


def test_file_and_image_errors(tmp_path):
    missing = str(tmp_path / "missing.png")
    with pytest.raises(droidlens.OSError) as info:
        droidlens.route(None, "diff", "", [missing, missing])
    assert str(info.value) == f"No such file or directory: '{missing}'"
    junk = tmp_path / "junk.png"
    junk.write_text("not an image")
    with pytest.raises(droidlens.ValueError, match=r"^Cannot identify image file '.*junk\.png'$"):
        droidlens.route(None, "diff", "", [str(junk), str(junk)])
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(droidlens.OSError):
        droidlens.route(None, "diff", "", DIFF_PAIR, output_dir=str(blocker / "sub"))


def test_device_errors_keep_their_causes(adb):
    with pytest.raises(droidlens.DeviceError) as info:
        droidlens.route(None, "displays", "", device_id="nope")
    assert str(info.value) == f"Device not found: nope (connected: {SERIAL})"
    assert isinstance(info.value, droidlens.RuntimeError)
    adb.set_knob("EXIT", "1")
    adb.set_knob("ONLY", "dumpsys")
    with pytest.raises(droidlens.RuntimeError) as info:
        droidlens.route(None, "displays", "")
    assert str(info.value) == "No output from `dumpsys display`"
    assert isinstance(info.value.__cause__, droidlens.RuntimeError)
    assert str(info.value.__cause__) == f"dumpsys display on device '{SERIAL}': error: simulated failure"
