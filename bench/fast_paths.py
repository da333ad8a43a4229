#!/usr/bin/python3
"""The two levers that make a step faster, measured against the simulated device (the
real adb client and tests/fakes/adb_server.py) and the scripted model server:

- capture: `droidlens screenshot --capture raw` against `--capture png` on 1080x2400
  and 1440x3200 screens: bytes the device sends over adb, host CPU per capture (the
  droidlens process and its adb client; the simulated device not counted) and wall
  time. The device's own PNG encoding, most of a real capture, cannot be measured
  here: the published figures are given beside ours.
- answer cache: a locate against a model that answers in 2 s, first asked (a miss)
  then from the cache (whole processes), and the cache's own cost in process from
  bench/droidlens_bench (BM_locate_cached, BM_answer_cache_lookup) when it is built;
  a 10-step automation recorded against that model, then replayed with the model
  stopped.

    /usr/bin/python3 bench/fast_paths.py --build build [--out bench/results.json]

merges its figures into the results file (the keys capture_raw, answer_cache).
Used by bench/run.py as well (fast_paths()).
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERIAL = "BENCHFAST"
EXAMPLE_SHOT = os.path.join(ROOT, "examples", "settings_before.png")
# Published medians of a capture on real hardware (seconds): the device's encoding.
PUBLISHED = {"emulator_1440x3120_png_s": 2.12, "emulator_1440x3120_raw_s": 0.675, "phone_1080x2400_png_s": 0.45}


class Servers:
    """The simulated adb server on `root` and, with `script`, the scripted model server."""

    def __init__(self, build, root, script=None):
        self.adb = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "fakes", "adb_server.py"),
                                     "--root", root], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.adb_port = self.adb.stdout.readline().decode().strip()
        self.chat = None
        self.base_url = None
        if script is not None:
            self.start_model(build, script)
        if not self.adb_port.isdigit():
            raise SystemExit("bench: the simulated adb server did not start")
        self.env = dict(os.environ, ADB_SERVER_SOCKET=f"tcp:127.0.0.1:{self.adb_port}",
                        ANDROID_ADB_SERVER_PORT=self.adb_port)
        for name in list(self.env):
            if name.startswith("DROIDLENS_"):
                del self.env[name]

    def start_model(self, build, script):
        self.chat = subprocess.Popen([os.path.join(build, "tests", "fake_chat_server"), "--script", script],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.chat.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise SystemExit("bench: the model server did not start")
        self.base_url = f"http://127.0.0.1:{line.split()[1]}/v1"

    def stop_model(self):
        if self.chat:
            self.chat.stdin.close()
            self.chat.wait(timeout=10)
            self.chat = None

    def close(self):
        self.stop_model()
        self.adb.stdin.close()
        self.adb.wait(timeout=10)


def _device(root, shot):
    d = os.path.join(root, SERIAL)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(root, "devices.txt"), "w") as f:
        f.write(f"List of devices attached\n{SERIAL}        device product:bench model:Bench_Phone\n\n")
    with open(os.path.join(d, "dumpsys_window.txt"), "w") as f:
        f.write("  Display: mDisplayId=0 rootTasks=3\n"
                "    mCurrentFocus=Window{1651cd4 u0 com.android.settings/com.android.settings.Settings}\n")
    shutil.copyfile(shot, os.path.join(d, "screencap.png"))


def _measured(argv, env):
    """Runs argv: (wall seconds, CPU seconds of it and its children, completed process)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    proc = subprocess.run(argv, env=env, capture_output=True)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, proc


def _screens(work, shot):
    """The example screen at 1080x2400 and scaled to 1440x3200 (Pillow, Lanczos)."""
    from PIL import Image
    out = {}
    for w, h in ((1080, 2400), (1440, 3200)):
        path = os.path.join(work, f"screen_{w}x{h}.png")
        with Image.open(shot) as im:
            im.convert("RGB").resize((w, h), Image.LANCZOS).save(path)
        out[f"{w}x{h}"] = (w, h, path)
    return out


def capture_cases(build, work, shot=EXAMPLE_SHOT, repeat=7):
    droidlens = os.path.join(build, "droidlens")
    results = {"published_device_side": PUBLISHED}
    for size, (w, h, path) in _screens(work, shot).items():
        root = os.path.join(work, f"capture_{size}")
        _device(root, path)
        servers = Servers(build, root)
        try:
            entry = {}
            for mode in ("png", "raw"):
                argv = [droidlens, "screenshot", "--device-id", SERIAL, "--capture", mode,
                        "-o", os.path.join(work, f"shots_{size}_{mode}")]
                _measured(argv, servers.env)  # the simulated device prepares its raw form once
                walls, cpus = [], []
                for _ in range(repeat):
                    wall, cpu, proc = _measured(argv, servers.env)
                    if proc.returncode != 0:
                        sys.stderr.write(proc.stderr.decode(errors="replace"))
                        raise SystemExit(f"bench: droidlens screenshot --capture {mode} failed")
                    walls.append(wall)
                    cpus.append(cpu)
                log = os.path.join(root, "adb.log")
                with open(log, encoding="utf-8", errors="replace") as f:
                    lines = [entry_ for entry_ in f if "screencap" in entry_]
                if mode == "raw" and any("'-p'" in line for line in lines[-repeat:]):
                    raise SystemExit("bench: the raw capture fell back to -p")
                os.remove(log)
                entry[mode] = {"adb_bytes": os.path.getsize(path) if mode == "png" else 16 + w * h * 4,
                               "host_cpu_ms": statistics.median(cpus) * 1e3, "host_cpu_min_ms": min(cpus) * 1e3,
                               "wall_ms": statistics.median(walls) * 1e3}
            entry["host_cpu_extra_ms"] = entry["raw"]["host_cpu_ms"] - entry["png"]["host_cpu_ms"]
            results[size] = entry
        finally:
            servers.close()
    return results


def _reply(content, delay_ms):
    message = {"role": "assistant", "content": content}
    return {"status": 200, "delay_ms": delay_ms,
            "body": {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                     "choices": [{"index": 0, "message": message, "finish_reason": "stop"}]}}


def _tool_reply(delay_ms):
    call = {"id": "call_1", "type": "function",
            "function": {"name": "return_target",
                         "arguments": json.dumps({"label": "Search", "bounding_box": [850, 40, 950, 80],
                                                  "confidence": 0.9, "page": 1})}}
    message = {"role": "assistant", "content": None, "tool_calls": [call]}
    return {"status": 200, "delay_ms": delay_ms,
            "body": {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                     "choices": [{"index": 0, "message": message, "finish_reason": "tool_calls"}]}}


def _in_process(build):
    binary = os.path.join(build, "bench", "droidlens_bench")
    if not os.path.exists(binary):
        return None
    env = dict(os.environ, DROIDLENS_BENCH_SCREENSHOT=os.path.join(ROOT, "examples", "settings_before.png"))
    out = subprocess.run([binary, "--benchmark_filter=^BM_(locate_cached|answer_cache_lookup|locate_request/1/)",
                          "--benchmark_repetitions=5", "--benchmark_format=json"], env=env, check=True,
                         capture_output=True, text=True).stdout
    runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}

    def ms(prefix):
        rs = [r for r in runs if r["name"].startswith(prefix)]
        if not rs or any(r.get("error_occurred") for r in rs):
            return None
        return statistics.median(r["real_time"] * scale[r.get("time_unit", "ns")] for r in rs)

    lookup = [r for r in runs if r["name"].startswith("BM_answer_cache_lookup")]
    return {"locate_cached_ms": ms("BM_locate_cached"), "locate_request_uncached_ms": ms("BM_locate_request/1"),
            "cache_lookup_ms": ms("BM_answer_cache_lookup"),
            "body_bytes": int(lookup[-1]["body_bytes"]) if lookup else None}


def cache_cases(build, work, shot=EXAMPLE_SHOT, repeat=7, steps=10, delay_ms=2000):
    droidlens = os.path.join(build, "droidlens")
    results = {"model_delay_ms": delay_ms}

    # A locate on a screenshot file: asked once, then answered from the cache.
    root = os.path.join(work, "cache_locate")
    _device(root, shot)
    script = os.path.join(work, "locate_script.json")
    with open(script, "w") as f:
        json.dump([_tool_reply(delay_ms)], f)
    cache = os.path.join(work, "cache_locate_dir")
    servers = Servers(build, root, script)
    try:
        argv = [droidlens, "locate", "the search button", "-i", shot, "--base-url", servers.base_url,
                "--model", "vision-model", "--cache", cache, "-o", os.path.join(work, "locate_out")]
        miss, _, proc = _measured(argv, servers.env)
        if proc.returncode != 0:
            sys.stderr.write(proc.stderr.decode(errors="replace"))
            raise SystemExit("bench: droidlens locate failed")
        hits = []
        for _ in range(repeat):
            wall, _, proc = _measured(argv, servers.env)
            if proc.returncode != 0 or b"answer from cache" not in proc.stderr:
                raise SystemExit("bench: the cached locate was not answered from the cache")
            hits.append(wall)
        results["locate_process"] = {"miss_ms": miss * 1e3, "hit_ms": statistics.median(hits) * 1e3,
                                     "hit_min_ms": min(hits) * 1e3}
    finally:
        servers.close()
    results["in_process"] = _in_process(build)

    # A 10-step automation on a screen that changes with every capture: recorded
    # against the slow model, then replayed with the model stopped.
    root = os.path.join(work, "cache_automate")
    _device(root, shot)
    screens = os.path.join(root, SERIAL, "screens")
    os.makedirs(screens)
    from PIL import Image
    with Image.open(shot) as im:
        base = im.convert("RGB")
        for k in range(1, steps + 1):
            frame = base.copy()
            frame.paste((20 * k, 90, 200), (40, 400 + 40 * k, 1040, 430 + 40 * k))
            frame.save(os.path.join(screens, f"{k}.png"))
    script = os.path.join(work, "automate_script.json")
    answers = [_reply(f'do(action="Tap", element=[{100 + 60 * k}, {200 + 50 * k}])', delay_ms)
               for k in range(1, steps)]
    answers.append(_reply('finish(message="done")', delay_ms))
    with open(script, "w") as f:
        json.dump(answers, f)
    cache = os.path.join(work, "cache_automate_dir")
    servers = Servers(build, root, script)
    try:
        base_url = servers.base_url

        def automate(mode):
            argv = [droidlens, "automate", "open the settings", "--device-id", SERIAL, "--max-steps", str(steps),
                    "--lang", "en", "--base-url", base_url, "--model", "vision-model", "--cache", cache,
                    "--cache-mode", mode, "-o", os.path.join(work, f"automate_{mode}")]
            captures = os.path.join(screens, "captures")
            if os.path.exists(captures):
                os.remove(captures)
            wall, _, proc = _measured(argv, servers.env)
            if proc.returncode != 0 or json.loads(proc.stdout or b"{}").get("steps") != steps:
                sys.stderr.write(proc.stderr.decode(errors="replace"))
                raise SystemExit(f"bench: droidlens automate --cache-mode {mode} failed ({proc.returncode})")
            return wall

        recorded = automate("record")
        servers.stop_model()
        replayed = automate("replay")
        results["automate_10_steps"] = {"recorded_s": recorded, "replayed_s": replayed,
                                        "speedup": recorded / replayed if replayed > 0 else None}
    finally:
        servers.close()
    return results


def fast_paths(build, work):
    return {"capture_raw": capture_cases(build, work), "answer_cache": cache_cases(build, work)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results.json"))
    args = ap.parse_args()
    build = args.build if os.path.isabs(args.build) else os.path.join(ROOT, args.build)
    work = tempfile.mkdtemp(prefix="droidlens_bench_fast_")
    try:
        figures = fast_paths(build, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(figures, indent=2))
    if os.path.exists(args.out):
        with open(args.out) as f:
            report = json.load(f)
        report.setdefault("benchmarks", {}).update(figures)
        with open(args.out, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")


if __name__ == "__main__":
    main()
