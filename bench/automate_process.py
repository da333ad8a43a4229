#!/usr/bin/python3
"""The whole `droidlens automate` process for a 10-step run on a named display,
against the simulated adb server (through the real adb client) and the scripted
model server, which answers at once: the host CPU time of the droidlens process
(user + system, adb's child processes included, the servers not) per step, and how
many times the device's display report (`dumpsys display`) was read during the run.

    /usr/bin/python3 bench/automate_process.py --build build [--repeat 3] [--steps 10]

Used by bench/run.py as well (automate_process()).
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
SERIAL = "BENCHFACADE"
SF_ID = "4619827259835644672"


def _reply(step):
    # Taps at a different place every step, so that neither watchdog of the runner
    # (repeated action, unchanged screen) changes the work of a step.
    x, y = 100 + 37 * step % 800, 150 + 53 * step % 700
    content = f'Step {step}: tapping the next item.\ndo(action="Tap", element=[{x}, {y}])'
    message = {"role": "assistant", "content": content}
    return {"status": 200, "body": {"id": f"c{step}", "object": "chat.completion", "created": 0, "model": "m",
                                    "choices": [{"index": 0, "message": message, "finish_reason": "stop"}]}}


def _device(root, shot):
    """One simulated phone whose display 0 sits on SurfaceFlinger output SF_ID."""
    os.makedirs(os.path.join(root, SERIAL), exist_ok=True)
    with open(os.path.join(root, "devices.txt"), "w") as f:
        f.write(f"List of devices attached\n{SERIAL}        device product:bench model:Bench_Phone\n\n")
    d = os.path.join(root, SERIAL)
    with open(os.path.join(d, "dumpsys_window.txt"), "w") as f:
        f.write("  Display: mDisplayId=0 rootTasks=3\n"
                "    mCurrentFocus=Window{1651cd4 u0 com.android.settings/com.android.settings.Settings}\n")
    with open(os.path.join(d, "dumpsys_display.txt"), "w") as f:
        f.write("  Display 0:\n    mBaseDisplayInfo=DisplayInfo{\"Built-in Screen\", type INTERNAL, uniqueId "
                f"\"local:{SF_ID}\", real 1080 x 2400}}\n")
    with open(os.path.join(d, "dumpsys_sf_display_id.txt"), "w") as f:
        f.write(f"Display {SF_ID} (HWC display 0): port=0 pnpId=GGL displayName=\"EMU_display_0\"\n")
    shutil.copyfile(shot, os.path.join(d, f"screencap_d{SF_ID}.png"))
    shutil.copyfile(shot, os.path.join(d, "screencap.png"))


def automate_process(build, shot, work, repeat=3, steps=10, droidlens=None):
    """Runs `droidlens automate --display-id 0 --max-steps STEPS` `repeat` times; returns
    the median and minimum host CPU milliseconds per step and the display-report reads
    of one run."""
    droidlens = droidlens or os.path.join(build, "droidlens")
    chat_bin = os.path.join(build, "tests", "fake_chat_server")
    adb_server = os.path.join(ROOT, "tests", "fakes", "adb_server.py")
    for path in (droidlens, chat_bin):
        if not os.path.exists(path):
            raise SystemExit(f"bench: {path} not found; build it first")
    root = os.path.join(work, "automate_device")
    _device(root, shot)
    script = os.path.join(work, "automate_script.json")
    with open(script, "w") as f:
        json.dump([_reply(i) for i in range(steps * repeat)], f)
    adb = subprocess.Popen([sys.executable, adb_server, "--root", root], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE)
    chat = subprocess.Popen([chat_bin, "--script", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        adb_port = adb.stdout.readline().decode().strip()
        line = chat.stdout.readline().decode()
        if not adb_port.isdigit() or not line.startswith("PORT "):
            raise SystemExit("bench: the simulated servers did not start")
        config = os.path.join(work, "automate_model.json")
        with open(config, "w") as f:
            json.dump({"base_url": f"http://127.0.0.1:{line.split()[1]}/v1", "model": "vision-model",
                       "api_key": "bench-key"}, f)
        env = dict(os.environ, ADB_SERVER_SOCKET=f"tcp:127.0.0.1:{adb_port}", ANDROID_ADB_SERVER_PORT=adb_port)
        log = os.path.join(root, "adb.log")
        cpu_per_step, wall_per_step, lookups = [], [], []
        for _ in range(repeat):
            if os.path.exists(log):
                os.remove(log)
            out_dir = os.path.join(work, "automate_out")
            shutil.rmtree(out_dir, ignore_errors=True)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            started = time.perf_counter()
            proc = subprocess.run([droidlens, "automate", "open the settings", "--device-id", SERIAL,
                                   "--display-id", "0", "--max-steps", str(steps), "-o", out_dir,
                                   "--config", config], env=env, capture_output=True)
            wall = time.perf_counter() - started
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            # Status 6: the run ended at the step limit, as this one must.
            if proc.returncode not in (0, 6) or json.loads(proc.stdout or b"{}").get("steps") != steps:
                sys.stderr.write(proc.stderr.decode(errors="replace"))
                raise SystemExit(f"bench: droidlens automate failed with status {proc.returncode}")
            cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            cpu_per_step.append(cpu * 1e3 / steps)
            wall_per_step.append(wall * 1e3 / steps)
            with open(log, encoding="utf-8", errors="replace") as f:
                lookups.append(sum(1 for entry in f if "dumpsys display" in entry))
    finally:
        for server in (adb, chat):
            server.stdin.close()
            server.wait(timeout=10)
    return {"steps": steps, "repetitions": repeat,
            "host_cpu_per_step_ms": statistics.median(cpu_per_step), "host_cpu_per_step_min_ms": min(cpu_per_step),
            "wall_per_step_ms": statistics.median(wall_per_step), "display_lookups_per_run": max(lookups)}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--droidlens", help="another droidlens binary to measure (an older build)")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--steps", type=int, default=10)
    args = ap.parse_args()
    build = args.build if os.path.isabs(args.build) else os.path.join(ROOT, args.build)
    work = tempfile.mkdtemp(prefix="droidlens_bench_automate_")
    try:
        result = automate_process(build, os.path.join(ROOT, "examples", "settings_before.png"), work,
                                  args.repeat, args.steps, args.droidlens)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
