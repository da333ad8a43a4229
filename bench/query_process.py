"""The whole `droidlens locate` process against the scripted model server, which
answers at once: start-up, reading the configuration, encoding the screenshot, the
HTTP round trip, reading the answer, drawing the annotated copy, printing the result.
Used by bench/run.py.
"""
import json
import os
import statistics
import subprocess
import time


def _tool_reply():
    arguments = {"label": "Search", "bounding_box": [850, 40, 950, 80], "confidence": 0.9, "page": 1}
    call = {"id": "call_1", "type": "function",
            "function": {"name": "return_target", "arguments": json.dumps(arguments)}}
    message = {"role": "assistant", "content": None, "tool_calls": [call]}
    return {"status": 200, "body": {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                                    "choices": [{"index": 0, "message": message, "finish_reason": "tool_calls"}]}}


def locate_process(build, shot, work, repeat, run_measured):
    """Runs `droidlens locate` repeat + 1 times (the first is a warm-up); returns the
    minimum and median seconds of a run and the largest peak RSS of one."""
    droidlens = os.path.join(build, "droidlens")
    server_bin = os.path.join(build, "tests", "fake_chat_server")
    for path in (droidlens, server_bin):
        if not os.path.exists(path):
            raise SystemExit(f"bench: {path} not found; build it first")
    script = os.path.join(work, "locate_script.json")
    with open(script, "w") as f:
        json.dump([_tool_reply() for _ in range(repeat + 1)], f)
    server = subprocess.Popen([server_bin, "--script", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = server.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise SystemExit(f"bench: fake_chat_server did not start: {line!r}")
        config = os.path.join(work, "locate_model.json")
        with open(config, "w") as f:
            json.dump({"base_url": f"http://127.0.0.1:{line.split()[1]}/v1", "model": "vision-model",
                       "api_key": "bench-key"}, f)
        out_dir = os.path.join(work, "locate_out")
        argv = [droidlens, "locate", "the search button", "-i", shot, "-o", out_dir, "--config", config]
        seconds, peak = [], 0
        for i in range(repeat + 1):
            started = time.perf_counter()
            out, rss = run_measured(argv)
            elapsed = time.perf_counter() - started
            if "annotated_image_path" not in json.loads(out):
                raise SystemExit("bench: droidlens locate wrote no annotated image")
            if i > 0:
                seconds.append(elapsed)
                peak = max(peak, rss)
    finally:
        server.stdin.close()
        server.wait(timeout=10)
    return {"median_s": statistics.median(seconds), "min_s": min(seconds), "peak_rss_kb": peak}
