"""Every mode through droidlens.route: real HTTP to the scripted model server, real adb
child processes of the simulated device, the records as dicts in their key order."""
import os
import pathlib

import pytest

import droidlens
from conftest import SERIAL, example, text_answer, tool_answer


def wire(server, **settings):
    return droidlens.Modelwire(droidlens.ModelConfig(server.base_url, "sk-test", "vision-model", timeout=20,
                                                     max_retries=0, **settings))


def test_diff_needs_no_model(tmp_path):
    out = tmp_path / "out"
    record = droidlens.route(None, "diff", "", [example("settings_before.png"), pathlib.Path(example("settings_after.png"))],
                             output_dir=out)
    assert list(record) == ["mode", "diff_score", "diff_boxes", "diff_image_path"]
    assert record["mode"] == "diff"
    assert 0 < record["diff_score"] < 0.05
    assert record["diff_boxes"] and all(len(b) == 4 for b in record["diff_boxes"])
    assert record["diff_image_path"] == str(out / "settings_before_diff.png")
    assert os.path.getsize(record["diff_image_path"]) > 0


def test_diff_options_as_keywords(tmp_path):
    pair = [example("settings_before.png"), example("settings_after.png")]
    record = droidlens.route(None, "diff", "", pair, output_dir=tmp_path, mask="status-bar", merge_gap=10,
                             max_boxes=0, fail_above=0.001)
    assert list(record) == ["mode", "diff_score", "diff_boxes", "diff_image_path", "regions", "resized", "passed"]
    assert record["passed"] is False and record["resized"] is False
    assert [r["box"] for r in record["regions"]] == record["diff_boxes"]
    assert all(list(r) == ["box", "bounding_box", "area", "share"] for r in record["regions"])
    # The same options as a list and with a lenient threshold; None counts as not given.
    lenient = droidlens.route(None, "diff", "", pair, output_dir=tmp_path, mask=["status-bar", "0,0,1000,50"],
                              fail_above=0.5, min_area=None)
    assert lenient["passed"] is True and lenient["diff_score"] <= record["diff_score"]
    assert "regions" not in droidlens.route(None, "diff", "", pair, output_dir=tmp_path, merge_gap=None)
    with pytest.raises(TypeError, match=r"Argument 'merge_gap' has incorrect type \(expected int, got str\)"):
        droidlens.route(None, "diff", "", pair, output_dir=tmp_path, merge_gap="10")
    with pytest.raises(droidlens.UsageError, match="taken by the diff mode only"):
        droidlens.route(None, "displays", "", mask="status-bar")


def test_locate_sends_the_screenshot_and_returns_the_models_box(model_server, tmp_path):
    server = model_server([tool_answer("return_target", {"label": "Wi-Fi", "bounding_box": [100, 200, 300, 250],
                                                         "confidence": 0.9, "page": 1})])
    record = droidlens.route(wire(server), "locate", "the Wi-Fi row", image_paths=[example("settings_before.png")],
                             output_dir=str(tmp_path))
    assert list(record) == ["label", "bounding_box", "confidence", "page", "image_dimensions", "mode",
                            "annotated_image_path"]
    assert record["bounding_box"] == [100, 200, 300, 250]
    assert record["annotated_image_path"] == str(tmp_path / "settings_before_locate.png")
    (body,) = server.requests()
    assert body["model"] == "vision-model"
    assert body["tool_choice"] == {"type": "function", "function": {"name": "return_target"}}
    assert body["messages"][1]["content"][0]["text"] == "User request: the Wi-Fi row"
    assert body["messages"][2]["content"][1]["image_url"]["url"].startswith("data:image/png;base64,")


def test_ocr_and_glyphpin(model_server, tmp_path):
    server = model_server([
        tool_answer("return_texts", {"items": [{"text": "Settings", "confidence": 0.9, "page": 1}, {"text": "Wi-Fi"}]}),
        tool_answer("return_text_bboxes", {"items": [{"text": "Wi-Fi", "bounding_box": [50, 150, 250, 180],
                                                      "confidence": 0.8, "page": 1}]}),
    ])
    llm = wire(server)
    shot = example("settings_before.png")
    ocr = droidlens.route(llm, "ocr", "all text", [shot], lang="en", output_dir=str(tmp_path))
    assert ocr["mode"] == "ocr"
    assert ocr["text"] == "Settings\nWi-Fi"
    assert ocr["items"][1] == {"text": "Wi-Fi", "confidence": 0.0, "page": 1}
    glyph = droidlens.route(llm, "glyphpin", "the Wi-Fi label", [shot], output_dir=str(tmp_path))
    assert glyph["mode"] == "glyphpin"
    assert glyph["items"][0]["text"] == "Wi-Fi"
    assert glyph["pages"][0]["image_dimensions"] == [1080, 2400]
    assert [b["tools"][0]["function"]["name"] for b in server.requests()] == ["return_texts", "return_text_bboxes"]


def test_a_screen_mode_without_images_captures_the_device(adb, model_server, tmp_path):
    server = model_server([tool_answer("return_target", {"label": "x", "bounding_box": [0, 0, 10, 10],
                                                         "confidence": 0.5, "page": 1})])
    out = tmp_path / "captures"
    record = droidlens.route(wire(server), "locate", "anything", device_id=SERIAL, output_dir=str(out))
    assert record["image_dimensions"] == [[1080, 2400]]
    assert sorted(os.listdir(out))[0].endswith(".png") and len(os.listdir(out)) == 2
    assert any("screencap" in line for line in adb.adb_log())


def test_displays_lists_the_device_displays(adb):
    adb.set_file(SERIAL, "dumpsys_display.txt",
                 "  Display 0:\n    mBaseDisplayInfo=DisplayInfo{\"Built-in Screen\", type INTERNAL, uniqueId "
                 "\"local:4619827259835644672\", real 1080 x 2400}\n")
    record = droidlens.route(None, "displays", "")
    assert record["mode"] == "displays"
    assert record["device_id"] == SERIAL
    assert record["displays"][0]["display_name"] == "Built-in Screen"


def test_nodepin_answers_with_the_hierarchy_node(adb, model_server, tmp_path):
    adb.set_file(SERIAL, "window_dump.xml",
                 "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?><hierarchy rotation=\"0\">"
                 "<node index=\"0\" class=\"android.widget.FrameLayout\" bounds=\"[0,0][1080,2400]\">"
                 "<node index=\"0\" text=\"OK\" class=\"android.widget.Button\" bounds=\"[540,1800][980,1960]\"/>"
                 "</node></hierarchy>")
    server = model_server([tool_answer("return_target", {"label": "OK", "bounding_box": [500, 750, 900, 800],
                                                         "confidence": 0.9, "page": 1})])
    record = droidlens.route(wire(server), "nodepin", "the OK button", output_dir=str(tmp_path))
    assert list(record) == ["index", "text", "class", "bounds", "mode", "annotated_image_path", "xml_file_path"]
    assert record["text"] == "OK" and record["mode"] == "nodepin"
    assert record["xml_file_path"].endswith("_nodepin.xml")


def test_action_taps_where_the_model_says(adb, model_server, tmp_path):
    server = model_server([tool_answer("perform_action", {"action": "Tap", "element": [500, 500]})])
    record = droidlens.route(wire(server), "action", "tap the middle", output_dir=str(tmp_path))
    assert record == {"mode": "action", "action": "Tap", "success": True, "message": "Tapped (540, 1200)"}
    assert list(record) == ["mode", "action", "success", "message"]
    assert adb.log(SERIAL) == ["input tap 540 1200"]


def test_a_decimal_display_id_reaches_the_device_truncated(adb, tmp_path):
    adb.set_screen(SERIAL, example("settings_before.png"), display=2)
    adb.set_file(SERIAL, "dumpsys_window.txt",
                 "  Display: mDisplayId=2 rootTasks=1\n    mCurrentFocus=Window{77aa u0 com.example.cluster/.Main}\n")
    model = type("Stub", (), {"chat": lambda self, messages, **options: tool_answer(
        "perform_action", {"action": "Tap", "element": [500, 500]})})()
    droidlens.route(model, "action", "tap", display_id=2.9, output_dir=str(tmp_path))
    assert adb.log(SERIAL) == ["input -d 2 tap 540 1200"]


def test_automate_runs_to_the_end_and_reports_progress(adb, model_server, tmp_path, capsys):
    server = model_server([text_answer('do(action="Back")'), text_answer('finish(message="done")')])
    record = droidlens.route(wire(server), "automate", "go back", output_dir=str(tmp_path), max_steps=5.9, lang="en")
    assert record == {"mode": "automate", "status": "finished", "message": "done", "steps": 2}
    assert adb.log(SERIAL) == ["input keyevent 4"]
    # Progress lines reach sys.stderr by default, none of them standard output.
    captured = capsys.readouterr()
    assert "[DEBUG] Step 1 - Sending request with 2 messages\n" in captured.err
    assert captured.out == ""
    assert len([n for n in os.listdir(tmp_path) if "_automate_step" in n]) == 2


def test_console_lines_go_to_a_callback(adb, model_server, tmp_path, capsys, monkeypatch):
    server = model_server([text_answer('finish(message="ok")')])
    lines = []
    assert droidlens.set_console(lines.append) is None
    try:
        droidlens.route(wire(server), "automate", "nothing to do", output_dir=str(tmp_path))
    finally:
        assert droidlens.set_console(None) == lines.append
    assert "[DEBUG] Step 1 - Sending request with 2 messages" in lines
    assert all("\n" not in line for line in lines)
    assert "[DEBUG]" not in capsys.readouterr().err
    # A failing callback is reported as unraisable and does not end the run.
    server = model_server([text_answer('finish(message="ok")')])
    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    droidlens.set_console(lambda line: 1 / 0)
    try:
        record = droidlens.route(wire(server), "automate", "nothing", output_dir=str(tmp_path))
    finally:
        droidlens.set_console(None)
    assert record["status"] == "finished"
    assert unraisable and all(isinstance(u.exc_value, ZeroDivisionError) for u in unraisable)
    with pytest.raises(droidlens.TypeError, match=r"^Argument 'callback' has incorrect type \(expected callable, got int\)$"):
        droidlens.set_console(3)


def test_the_device_listing_error_line_reaches_stderr(adb, capsys, monkeypatch):
    monkeypatch.setenv("PATH", "/nonexistent")
    missing = "adb was not found on PATH; install the Android platform tools"
    with pytest.raises(droidlens.DeviceError, match=f"^No ADB devices detected: {missing}$"):
        droidlens.route(None, "displays", "")
    assert capsys.readouterr().err == f"Error listing devices: {missing}\n"
