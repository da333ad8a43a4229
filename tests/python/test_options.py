"""The run options reach the library the same way from each front end: route() in Python,
the droidlens command and its MCP server (`droidlens mcp` on stdin/stdout). A value one of
them accepts, the others accept with the same outcome; a value one refuses, the others
refuse with the same message."""
import json
import os
import subprocess

import pytest

import droidlens
from conftest import BUILD_DIR, example, tool_answer

CLI = os.path.join(BUILD_DIR, "droidlens")
MODEL = "vision-model"
PAIR = [example("settings_before.png"), example("settings_after.png")]


def via_python(server, mode, prompt, options):
    llm = None
    if server is not None:
        llm = droidlens.Modelwire(droidlens.ModelConfig(server.base_url, "sk-test", MODEL, timeout=20, max_retries=0))
    try:
        return "ok", droidlens.route(llm, mode, "" if prompt is None else prompt, **options)
    except droidlens.Error as e:
        return "error", str(e)


def model_flags(server):
    return ["--base-url", server.base_url, "--model", MODEL] if server is not None else []


def via_cli(server, mode, prompt, options):
    args = [CLI, mode] + ([prompt] if prompt is not None else []) + model_flags(server)
    for name, value in options.items():
        flag = "-i" if name == "image_paths" else "--" + name.replace("_", "-")
        for v in value if isinstance(value, list) else [value]:
            args += [flag, str(v)]
    r = subprocess.run(args, capture_output=True, text=True, timeout=60)
    if r.returncode == 0:
        return "ok", json.loads(r.stdout)
    assert r.stderr.startswith("droidlens: error: ") and r.stderr.count("\n") == 1, r.stderr
    return "error", r.stderr[len("droidlens: error: "):-1]


def via_mcp(server, mode, prompt, options):
    arguments = dict(options)
    if prompt is not None:
        arguments["prompt"] = prompt
    messages = [
        {"jsonrpc": "2.0", "id": 1, "method": "initialize",
         "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}}},
        {"jsonrpc": "2.0", "method": "notifications/initialized"},
        {"jsonrpc": "2.0", "id": 2, "method": "tools/call", "params": {"name": mode, "arguments": arguments}},
    ]
    proc = subprocess.Popen([CLI, "mcp"] + model_flags(server), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        for m in messages:
            proc.stdin.write(json.dumps(m) + "\n")
        proc.stdin.flush()
        while True:
            line = proc.stdout.readline()
            assert line, "the server ended without answering the call"
            answer = json.loads(line)
            if answer.get("id") == 2:
                break
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
    result = answer["result"]
    if result["isError"]:
        return "error", result["content"][0]["text"]
    return "ok", result["structuredContent"]


FRONT_ENDS = [via_python, via_cli, via_mcp]


def refused_alike(server, mode, prompt, options, message):
    for front_end in FRONT_ENDS:
        assert front_end(server, mode, prompt, options) == ("error", message), front_end.__name__


def test_values_are_refused_with_the_same_message_everywhere(model_server, tmp_path):
    server = model_server([])  # never asked: every value is refused before the model is
    out = str(tmp_path / "out")
    refused_alike(server, "locate", "", {"image_paths": [PAIR[0]], "output_dir": out},
                  "Mode 'locate' needs a request (the prompt is empty)")
    refused_alike(server, "automate", "open settings", {"max_steps": -1, "output_dir": out},
                  "max_steps must not be negative, got -1")
    refused_alike(server, "locate", "the OK button", {"display_id": -1, "output_dir": out},
                  "display_id must not be negative, got -1")
    refused_alike(server, "locate", "the OK button", {"adb_server": "nohost", "output_dir": out},
                  'adb_server must be HOST:PORT, got "nohost"')
    refused_alike(None, "diff", None, {"image_paths": PAIR, "merge_gap": -3, "output_dir": out},
                  "merge_gap must not be negative, got -3")
    refused_alike(None, "diff", None, {"image_paths": PAIR, "fail_above": 5, "output_dir": out},
                  "fail_above must be from 0 to 1, got 5.0")
    assert server.requests() == []
    assert not os.path.exists(out) or os.listdir(out) == []


def test_values_are_accepted_with_the_same_outcome_everywhere(model_server, tmp_path):
    answer = tool_answer("return_target", {"label": "Wi-Fi", "bounding_box": [40, 200, 960, 260],
                                           "confidence": 0.9, "page": 1})
    server = model_server([answer] * len(FRONT_ENDS))
    records = []
    for front_end in FRONT_ENDS:
        out = str(tmp_path / front_end.__name__)
        # A whole display number written as a decimal is that display; the device is
        # not asked when the screenshots are given.
        status, record = front_end(server, "locate", "the Wi-Fi row",
                                   {"image_paths": [PAIR[0]], "device_id": "emu-1", "display_id": 2.0,
                                    "output_dir": out, "adb_server": "127.0.0.1:1"})
        assert status == "ok", (front_end.__name__, record)
        assert record["annotated_image_path"].startswith(out)
        del record["annotated_image_path"]
        records.append(record)
    assert records[0] == records[1] == records[2]
    assert len(server.requests()) == len(FRONT_ENDS)

    diffs = []
    for front_end in FRONT_ENDS:
        status, record = front_end(None, "diff", None,
                                   {"image_paths": PAIR, "mask": ["status-bar"], "merge_gap": 10, "max_boxes": 0,
                                    "min_area": 240.0, "fail_above": 0.5, "output_dir": str(tmp_path / "diff")})
        assert status == "ok", (front_end.__name__, record)
        diffs.append(record)
    assert diffs[0] == diffs[1] == diffs[2]
    assert diffs[0]["passed"] is True and "regions" in diffs[0]
