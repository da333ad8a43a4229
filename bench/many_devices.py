#!/usr/bin/python3
"""Many devices from one process: the wall time of N automate runs of 10 steps on N
simulated devices (one simulated adb server, tests/fakes/adb_server.py, reached by the
real adb client) at once, N = 1, 2, 4, 8, in one `droidlens mcp` server (N tools/call
requests, its worker pool) and in one Python process (N threads calling
droidlens.route). The scripted model answers every request after a fixed delay, so
that the model and the device are the slow part; with runs truly side by side N runs
take about the time of one. Used by bench/run.py; prints JSON.

    many_devices.py --build BUILD [--delay-ms 300] [--counts 1,2,4,8]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCREEN = os.path.join(ROOT, "examples", "settings_before.png")
STEPS = 10


def back_reply(delay_ms):
    message = {"role": "assistant", "content": 'do(action="Back")'}
    return {"status": 200, "delay_ms": delay_ms,
            "body": {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                     "choices": [{"index": 0, "message": message, "finish_reason": "stop"}]}}


def start_adb(root, serials):
    os.makedirs(os.path.join(root, "knobs"))
    with open(os.path.join(root, "devices.txt"), "w") as f:
        f.write("List of devices attached\n")
        for i, s in enumerate(serials):
            f.write(f"{s:<22} device product:fake model:Pixel_7 device:fake transport_id:{i + 1}\n")
        f.write("\n")
    for s in serials:
        d = os.path.join(root, s)
        os.makedirs(d)
        shutil.copyfile(SCREEN, os.path.join(d, "screencap.png"))
        with open(os.path.join(d, "dumpsys_window.txt"), "w") as f:
            f.write("    mCurrentFocus=Window{1 u0 com.android.settings/.Main}\n")
    proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "fakes", "adb_server.py"), "--root", root],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline())
    return proc, port


def start_model(build, work, answers, delay_ms):
    script = os.path.join(work, "script.json")
    with open(script, "w") as f:
        json.dump([back_reply(delay_ms) for _ in range(answers)], f)
    proc = subprocess.Popen([os.path.join(build, "tests", "fake_chat_server"), "--script", script],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = proc.stdout.readline().decode()
    if not line.startswith("PORT "):
        raise SystemExit(f"bench: fake_chat_server did not start: {line!r}")
    return proc, f"http://127.0.0.1:{line.split()[1]}/v1"


def mcp_runs(build, env, serials, out):
    """N automate calls sent at once to one server; seconds until the last answer."""
    proc = subprocess.Popen([os.path.join(build, "droidlens"), "mcp", "--output-dir", out, "--lang", "en"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                            text=True)

    def send(message):
        proc.stdin.write(json.dumps(message) + "\n")
        proc.stdin.flush()

    send({"jsonrpc": "2.0", "id": 0, "method": "initialize",
          "params": {"protocolVersion": "2025-06-18", "capabilities": {}, "clientInfo": {"name": "bench", "version": "1"}}})
    json.loads(proc.stdout.readline())
    send({"jsonrpc": "2.0", "method": "notifications/initialized"})
    started = time.perf_counter()
    for i, s in enumerate(serials):
        send({"jsonrpc": "2.0", "id": i + 1, "method": "tools/call",
              "params": {"name": "automate", "arguments": {"prompt": "go back", "device_id": s, "max_steps": STEPS}}})
    answered = set()
    while len(answered) < len(serials):
        message = json.loads(proc.stdout.readline())
        if message.get("id") in range(1, len(serials) + 1) and "result" in message:
            if message["result"].get("structuredContent", {}).get("steps") != STEPS:
                raise SystemExit(f"bench: an MCP automate run did not take {STEPS} steps: {message}")
            answered.add(message["id"])
    elapsed = time.perf_counter() - started
    proc.stdin.close()
    proc.wait(timeout=30)
    return elapsed


def python_runs(build, base_url, serials, out):
    """N threads, one route() each; seconds until the last returns."""
    sys.path.insert(0, os.path.join(build, "python"))
    import droidlens
    llm = droidlens.Modelwire(droidlens.ModelConfig(base_url, "bench-key", "m", max_retries=0, timeout=60))
    droidlens.set_console(lambda line: None)
    errors = []

    def run(serial):
        try:
            r = droidlens.route(llm, "automate", "go back", device_id=serial, max_steps=STEPS,
                                output_dir=os.path.join(out, serial), lang="en")
            if r.get("steps") != STEPS:
                errors.append(r)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(s,)) for s in serials]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - started
    if errors:
        raise SystemExit(f"bench: a Python automate run failed: {errors[0]}")
    return elapsed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--delay-ms", type=int, default=300)
    ap.add_argument("--counts", default="1,2,4,8")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    counts = [int(c) for c in args.counts.split(",")]
    results = {"steps": STEPS, "model_delay_ms": args.delay_ms, "mcp_s": {}, "python_s": {}}
    with tempfile.TemporaryDirectory() as work:
        serials = [f"emu-{i + 1}" for i in range(max(counts))]
        adb, port = start_adb(os.path.join(work, "adb"), serials)
        try:
            for kind in ("mcp", "python"):
                for n in counts:
                    model, base_url = start_model(build, work, n * STEPS, args.delay_ms)
                    env = {k: v for k, v in os.environ.items() if not k.startswith(("ADB_", "ANDROID_"))}
                    env.update({"DROIDLENS_ADB_SERVER": f"127.0.0.1:{port}", "DROIDLENS_BASE_URL": base_url,
                                "DROIDLENS_MODEL": "m", "DROIDLENS_API_KEY": "bench-key"})
                    out = os.path.join(work, f"{kind}{n}")
                    try:
                        if kind == "mcp":
                            seconds = mcp_runs(build, env, serials[:n], out)
                        else:
                            os.environ.update({"DROIDLENS_ADB_SERVER": f"127.0.0.1:{port}"})
                            seconds = python_runs(build, base_url, serials[:n], out)
                    finally:
                        model.stdin.close()
                        model.wait(timeout=10)
                    results[f"{kind}_s"][str(n)] = round(seconds, 3)
                one = results[f"{kind}_s"][str(counts[0])]
                results[f"{kind}_ratio_to_one"] = {k: round(v / one, 2) for k, v in results[f"{kind}_s"].items()}
        finally:
            adb.stdin.close()
            adb.wait(timeout=10)
    print(json.dumps(results))


if __name__ == "__main__":
    main()
