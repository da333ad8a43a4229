#!/usr/bin/python3
"""Runs the droidlens benchmarks beside their Python + Pillow peers, in one run.

    /usr/bin/python3 bench/run.py --build build --out bench/results.json

Every case runs in a child process of its own, ours and the peer's, so that each
one's peak memory (ru_maxrss) is its own. Each repetition is one call; the table
and the JSON file give the minimum and median seconds of those calls. Both sides
read the same input files: a 1080 x 2400 screenshot (a real one from
../shared/fixtures when present, else the bundled example) and a changed copy of it.

Whole processes are measured too, through bench/droidlens_spawn (a small launcher, so
that a child's peak memory is not inflated by the launcher's own): the start-up
(`droidlens --version` beside `python3 -c "import PIL.Image"`) and the whole
`droidlens diff` command on the pair, beside the peer's compute_diff in a warm
interpreter. The shared libraries the command loads and its size are recorded.
--baseline BINARY measures another droidlens binary's start-up and diff command in
the same run (an older build, for before-and-after figures).
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from automate_process import automate_process
from fast_paths import fast_paths
from query_process import locate_process

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PEERS = os.path.join(ROOT, "bench", "peers")
FIXTURE_SHOT = os.path.join(ROOT, "..", "shared", "fixtures", "screenshots",
                            "collegecompanion_dashboard_1080x2400.png")
EXAMPLE_SHOT = os.path.join(ROOT, "examples", "settings_before.png")
FIXTURE_JPEG = os.path.join(ROOT, "..", "shared", "fixtures", "screenshots", "todont_log_617x1280.jpg")
# A pair whose change covers most of the screen (a dialog over a dimmed list).
LARGE_A = os.path.join(ROOT, "examples", "inbox_before.png")
LARGE_B = os.path.join(ROOT, "examples", "inbox_after.png")
# Two more 1080 x 2400 screens for a request with three screenshots.
QUERY_MORE = [os.path.join(ROOT, "examples", "login_before.png"), os.path.join(ROOT, "examples", "inbox_before.png")]
UIDUMPS = os.path.join(ROOT, "..", "shared", "fixtures", "uidumps")


def run_measured(argv, env=None):
    """Runs argv; returns its standard output and its own peak RSS (KiB), read with wait4."""
    with tempfile.TemporaryFile() as out_f, tempfile.TemporaryFile() as err_f:
        proc = subprocess.Popen(argv, stdout=out_f, stderr=err_f, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out_f.seek(0)
        err_f.seek(0)
        if proc.returncode != 0:
            sys.stderr.write(err_f.read().decode(errors="replace"))
            raise SystemExit(f"bench: {' '.join(argv)} failed with status {proc.returncode}")
        return out_f.read().decode(), usage.ru_maxrss


def make_inputs(work):
    """The screenshot and a changed copy of it (toggled switch, badge, new label)."""
    from PIL import Image, ImageDraw

    shot = FIXTURE_SHOT if os.path.exists(FIXTURE_SHOT) else EXAMPLE_SHOT
    if not os.path.exists(shot):
        raise SystemExit(f"bench: no input screenshot ({FIXTURE_SHOT} or {EXAMPLE_SHOT})")
    a = os.path.join(work, "pair_a.png")
    b = os.path.join(work, "pair_b.png")
    shutil.copyfile(shot, a)
    img = Image.open(shot).convert("RGB")
    w, h = img.size
    draw = ImageDraw.Draw(img)
    draw.rounded_rectangle([w * 0.78, h * 0.30, w * 0.93, h * 0.33], radius=30, fill=(26, 115, 232))
    draw.ellipse([w * 0.88, h * 0.05, w * 0.94, h * 0.08], fill=(220, 40, 40))
    draw.rectangle([w * 0.05, h * 0.62, w * 0.55, h * 0.66], fill=(250, 250, 250))
    draw.text((w * 0.06, h * 0.63), "Changed label", fill=(30, 30, 30))
    img.save(b)
    return shot, a, b


def largest_uidump():
    """The largest real window dump of the fixtures and the centre of its first node, or None."""
    import re
    if not os.path.isdir(UIDUMPS):
        return None
    dumps = [os.path.join(UIDUMPS, n) for n in os.listdir(UIDUMPS) if n.endswith(".xml")]
    if not dumps:
        return None
    path = max(dumps, key=os.path.getsize)
    with open(path, encoding="utf-8") as f:
        m = re.search(r'bounds="\[(\d+),(\d+)\]\[(\d+),(\d+)\]"', f.read())
    x1, y1, x2, y2 = (int(v) for v in m.groups())
    return path, (x1 + x2) // 2, (y1 + y2) // 2


def stats(seconds):
    return min(seconds), statistics.median(seconds)


def spawn_measured(spawn, argv, repeat):
    """Runs argv `repeat` times through droidlens_spawn: (per-run seconds, peak RSS KiB)."""
    out, _ = run_measured([spawn, str(repeat)] + argv)
    data = json.loads(out)
    return data["times"], data["peak_rss_kb"]


def shared_libraries(binary):
    """The shared libraries the dynamic loader maps for `binary` (the vDSO not counted)."""
    env = dict(os.environ, LD_TRACE_LOADED_OBJECTS="1")
    out = subprocess.run([binary], env=env, capture_output=True, text=True, check=True).stdout
    return [line.split()[0] for line in out.splitlines() if line.strip() and "linux-vdso" not in line]


def binary_facts(binary, work):
    """Size of the binary as built and stripped of symbols, and the libraries it loads."""
    stripped = os.path.join(work, "stripped")
    subprocess.run(["strip", "-o", stripped, binary], check=True)
    libs = shared_libraries(binary)
    return {"bytes": os.path.getsize(binary), "stripped_bytes": os.path.getsize(stripped),
            "shared_libraries": len(libs), "libraries": libs}


def process_cases(spawn, binary, pair_a, pair_b, out_dir, repeat):
    """Start-up and the whole diff command of one droidlens binary."""
    start_t, start_rss = spawn_measured(spawn, [binary, "--version"], repeat)
    diff_t, diff_rss = spawn_measured(spawn, [binary, "diff", "-i", pair_a, "-i", pair_b, "-o", out_dir], repeat)
    smn, smd = stats(start_t)
    dmn, dmd = stats(diff_t)
    return {"startup": {"median_s": smd, "min_s": smn, "peak_rss_kb": start_rss},
            "diff_process": {"median_s": dmd, "min_s": dmn, "peak_rss_kb": diff_rss}}


def mcp_server_cases(binary, env):
    """The protocol server's own cost per tools/call, diff and locate (model answering at
    once), against the same calls made to the library directly, in the same run; the
    image scaling of the results apart."""
    def bench(bm_filter, repetitions=1):
        out, rss = run_measured([binary, f"--benchmark_filter={bm_filter}", f"--benchmark_repetitions={repetitions}",
                                 "--benchmark_format=json"], env)
        return [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"], rss

    result = {}
    for tool in ("diff", "locate"):
        runs, rss = bench(f"^BM_mcp_paired/{tool}/")
        r = runs[-1]
        result[tool] = {key: r[key] for key in ("direct_ms", "server_ms", "server_images_ms", "overhead_ms",
                                                "cpu_overhead_ms", "image_scaling_ms", "cpu_image_scaling_ms")}
        result[tool].update({"result_bytes_text": int(r["result_bytes_text"]),
                             "result_bytes_images": int(r["result_bytes_images"]),
                             "iterations": int(r["iterations"]), "peak_rss_kb": rss})
    runs, _ = bench("^BM_mcp_roundtrip/", 5)
    result["roundtrip_us"] = statistics.median(r["real_time"] for r in runs)
    runs, _ = bench("^BM_mcp_preview/", 5)
    result["preview_ms"] = statistics.median(r["real_time"] for r in runs)
    result["preview_png_bytes"] = int(runs[-1]["png_bytes"])
    return result


def many_devices_cases(build):
    """N automate runs of 10 steps on N simulated devices at once, in one MCP server and
    in one Python process (bench/many_devices.py, a process of its own)."""
    out = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "many_devices.py"), "--build", build],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def wait_cases(build):
    """The wait mode over 20 unchanged polls (bench/wait_process.py, a process of its own):
    model calls and host CPU per poll."""
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    out = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "wait_process.py"), "--build", build],
                         check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build", help="CMake build directory holding bench/droidlens_bench")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results.json"))
    ap.add_argument("--repeat", type=int, default=9, help="calls per case, ours and the peer's")
    ap.add_argument("--process-repeat", type=int, default=21, help="runs per whole-process case")
    ap.add_argument("--baseline", help="another droidlens binary to measure start-up and diff of, for comparison")
    args = ap.parse_args()

    build = args.build if os.path.isabs(args.build) else os.path.join(ROOT, args.build)
    binary = os.path.join(build, "bench", "droidlens_bench")
    spawn = os.path.join(build, "bench", "droidlens_spawn")
    command = os.path.join(build, "droidlens")
    for needed in (binary, spawn, command):
        if not os.path.exists(needed):
            raise SystemExit(f"bench: {needed} not found; build it first (make bench builds it)")

    work = tempfile.mkdtemp(prefix="droidlens_bench_")
    try:
        shot, pair_a, pair_b = make_inputs(work)
        ours_out = os.path.join(work, "ours")
        peer_out = os.path.join(work, "peer")
        env = dict(os.environ, DROIDLENS_BENCH_FAKES=os.path.join(ROOT, "tests", "fakes"),
                   DROIDLENS_BENCH_PAIR_A=pair_a, DROIDLENS_BENCH_PAIR_B=pair_b,
                   DROIDLENS_BENCH_LARGE_A=LARGE_A, DROIDLENS_BENCH_LARGE_B=LARGE_B,
                   DROIDLENS_BENCH_SCREENSHOT=shot, DROIDLENS_BENCH_OUT=ours_out)
        jpeg = FIXTURE_JPEG if os.path.exists(FIXTURE_JPEG) else None
        if jpeg:
            env["DROIDLENS_BENCH_JPEG"] = jpeg
        query_shots = [shot] + QUERY_MORE
        env["DROIDLENS_BENCH_QUERY_SHOTS"] = ":".join(query_shots)
        py = sys.executable
        uidump = largest_uidump()
        if uidump:
            env.update(DROIDLENS_BENCH_UIDUMP=uidump[0], DROIDLENS_BENCH_POINT_X=str(uidump[1]),
                       DROIDLENS_BENCH_POINT_Y=str(uidump[2]))
        cases = [
            ("compute_diff", "^BM_compute_diff/", [py, os.path.join(PEERS, "diff_peer.py"), pair_a, pair_b, peer_out]),
            ("compute_diff_large", "^BM_compute_diff_large/",
             [py, os.path.join(PEERS, "diff_peer.py"), LARGE_A, LARGE_B, peer_out]),
            ("find_boxes", "^BM_find_boxes/",
             [py, os.path.join(PEERS, "diff_peer.py"), pair_a, pair_b, peer_out, "--find-boxes-only"]),
            ("encode_image_1.0", "^BM_encode_image/100/",
             [py, os.path.join(PEERS, "encode_peer.py"), shot, "--factor", "1.0"]),
            ("encode_image_0.5", "^BM_encode_image/50/",
             [py, os.path.join(PEERS, "encode_peer.py"), shot, "--factor", "0.5"]),
            ("annotate_image", "^BM_annotate_image/", [py, os.path.join(PEERS, "annotate_peer.py"), shot, peer_out]),
            ("decode_png", "^BM_decode_png/", [py, os.path.join(PEERS, "imaging_peer.py"), "decode", shot]),
            ("resample_lanczos_0.5", "^BM_resample_lanczos/",
             [py, os.path.join(PEERS, "imaging_peer.py"), "resample", shot, "--filter", "lanczos"]),
            ("resample_bilinear_0.5", "^BM_resample_bilinear/",
             [py, os.path.join(PEERS, "imaging_peer.py"), "resample", shot, "--filter", "bilinear"]),
            ("locate_request_1", "^BM_locate_request/1/", [py, os.path.join(PEERS, "query_peer.py"), shot]),
            ("locate_request_3", "^BM_locate_request/3/", [py, os.path.join(PEERS, "query_peer.py")] + query_shots),
        ]
        if jpeg:
            cases.append(("decode_jpeg", "^BM_decode_jpeg/", [py, os.path.join(PEERS, "imaging_peer.py"), "decode", jpeg]))
        if uidump:
            cases.append(("parse_and_find_node", "^BM_parse_and_find_node/",
                          [py, os.path.join(PEERS, "xml_peer.py"), uidump[0], str(uidump[1]), str(uidump[2])]))
        results = {}
        started = time.time()
        for name, bm_filter, peer_argv in cases:
            out, rss = run_measured([binary, f"--benchmark_filter={bm_filter}",
                                     f"--benchmark_repetitions={args.repeat}", "--benchmark_format=json"], env)
            runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
            if not runs:
                raise SystemExit(f"bench: no runs of {bm_filter}")
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
            ours = [r["real_time"] * scale[r.get("time_unit", "ns")] for r in runs]
            peer_text, peer_rss = run_measured(peer_argv + ["--repeat", str(args.repeat)])
            peer = json.loads(peer_text)
            mn, md = stats(ours)
            pmn, pmd = stats(peer["times"])
            entry = {
                "median_s": md, "min_s": mn, "peak_rss_kb": rss,
                "peer_median_s": pmd, "peer_min_s": pmn, "peer_peak_rss_kb": peer_rss,
                "speedup": pmd / md if md > 0 else None,
            }
            if "payload_bytes" in runs[-1]:
                entry["payload_bytes"] = int(runs[-1]["payload_bytes"])
                entry["peer_payload_bytes"] = peer["result"]["payload_bytes"]
            if "boxes" in runs[-1]:
                entry["boxes"] = int(runs[-1]["boxes"])
                peer_boxes = peer["result"].get("diff_boxes", peer["result"].get("boxes"))
                entry["peer_boxes"] = len(peer_boxes)
            if "nodes" in runs[-1]:
                entry["nodes"] = int(runs[-1]["nodes"])
                entry["peer_nodes"] = peer["result"]["nodes"]
            results[name] = entry
            print(f"  {name}: done", file=sys.stderr)

        # The capture path has no peer: it is compared with the device's own share,
        # the same adb calls made directly.
        capture = {}
        for name, bm_filter in (("total", "^BM_capture_screenshot_to_file/"), ("device", "^BM_capture_device_calls/")):
            out, rss = run_measured([binary, f"--benchmark_filter={bm_filter}",
                                     f"--benchmark_repetitions={args.repeat}", "--benchmark_format=json"], env)
            runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
            capture[name] = stats([r["real_time"] * 1e-3 for r in runs])  # reported in ms
            if name == "total":
                capture["peak_rss_kb"] = rss
        cap_min, cap_med = capture["total"]
        dev_min, dev_med = capture["device"]
        results["capture_screenshot_to_file"] = {
            "median_s": cap_med, "min_s": cap_min, "peak_rss_kb": capture["peak_rss_kb"],
            "device_median_s": dev_med, "device_min_s": dev_min,
            "device_share": dev_med / cap_med if cap_med > 0 else None,
        }
        print("  capture_screenshot_to_file: done", file=sys.stderr)

        # The nodepin mode on the host (no peer): everything but the device's and the
        # model's time, on the benchmark screenshot and the largest real dump.
        out, rss = run_measured([binary, "--benchmark_filter=^BM_nodepin_host",
                                 f"--benchmark_repetitions={args.repeat}", "--benchmark_format=json"], env)
        runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
        mn, md = stats([r["real_time"] * 1e-3 for r in runs])  # reported in ms
        results["nodepin_host"] = {"median_s": md, "min_s": mn, "peak_rss_kb": rss,
                                   "node_found": bool(runs[-1].get("found")),
                                   "payload_bytes": int(runs[-1]["payload_bytes"])}
        print("  nodepin_host: done", file=sys.stderr)

        # Figures of their own (no peer): diff with masks and merging beside plain diff,
        # reading a model's answer (a tool call, and the same arguments in a json fence),
        # and the screenshot sent at full size or scaled to a longer side of 1280 / 1024.
        for name, bm_filter in (("compute_diff_options", "^BM_compute_diff_options/"),
                                ("read_answer_tool_call", "^BM_read_answer/0"),
                                ("read_answer_json_fence", "^BM_read_answer/1"),
                                ("encode_max_side_full", "^BM_encode_max_side/0/"),
                                ("encode_max_side_1280", "^BM_encode_max_side/1280/"),
                                ("encode_max_side_1024", "^BM_encode_max_side/1024/")):
            out, rss = run_measured([binary, f"--benchmark_filter={bm_filter}",
                                     f"--benchmark_repetitions={args.repeat}", "--benchmark_format=json"], env)
            runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
            if not runs:
                raise SystemExit(f"bench: no runs of {bm_filter}")
            scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[runs[0].get("time_unit", "ns")]
            mn, md = stats([r["real_time"] * scale for r in runs])
            entry = {"median_s": md, "min_s": mn, "peak_rss_kb": rss}
            if "payload_bytes" in runs[-1]:
                entry["payload_bytes"] = int(runs[-1]["payload_bytes"])
            results[name] = entry
        print("  diff options, answer reading, scaled screenshots: done", file=sys.stderr)

        # The run report of an automation run (no peer): the recorder's time per step and
        # the page's size for 5 and 50 steps.
        out, rss = run_measured([binary, "--benchmark_filter=^BM_report_automate/", "--benchmark_format=json"], env)
        runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
        report = {"peak_rss_kb": rss}
        for r in runs:
            steps = r["name"].split("/")[1]
            report[f"page_bytes_{steps}_steps"] = int(r["page_bytes"])
            report[f"seconds_per_step_{steps}_steps"] = r["seconds_per_step"]
        results["report_automate"] = report
        print("  report_automate: done", file=sys.stderr)

        # The automation runner has no peer either: its own CPU time per step (this
        # process only, so neither the device's adb children nor the model, which
        # answers at once), for 10 and 100 steps, beside the adb calls of one step.
        auto_repeat = max(1, min(args.repeat, 3))  # a 100-step run takes tens of seconds
        out, auto_rss = run_measured([binary, "--benchmark_filter=^BM_automate_run/",
                                      f"--benchmark_repetitions={auto_repeat}", "--benchmark_format=json"], env)
        runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
        out, _ = run_measured([binary, "--benchmark_filter=^BM_automate_device_calls/",
                               f"--benchmark_repetitions={args.repeat}", "--benchmark_format=json"], env)
        device_runs = [r for r in json.loads(out)["benchmarks"] if r.get("run_type") == "iteration"]
        automate = {"peak_rss_kb": auto_rss, "repetitions": auto_repeat,
                    "device_calls_per_step_ms": statistics.median(r["real_time"] for r in device_runs)}
        for steps in (10, 100):
            rs = [r for r in runs if int(r["steps"]) == steps]
            if not rs:
                raise SystemExit(f"bench: no runs of BM_automate_run/{steps}")
            automate[f"runner_cpu_per_step_ms_{steps}"] = statistics.median(r["runner_cpu_per_step_ms"] for r in rs)
            automate[f"wall_per_step_ms_{steps}"] = statistics.median(r["real_time"] / steps for r in rs)
        last = [r for r in runs if int(r["steps"]) == 100][-1]
        for at in (1, 10, 100):
            automate[f"body_bytes_step{at}"] = int(last[f"body_bytes_step{at}"])
        results["automate_runner"] = automate
        print("  automate_runner: done", file=sys.stderr)
        results["many_devices"] = many_devices_cases(build)
        print("  many_devices: done", file=sys.stderr)
        results["wait_unchanged_screen"] = wait_cases(build)
        print("  wait_unchanged_screen: done", file=sys.stderr)
        # Whole processes: the command's start-up and its diff mode, beside the
        # interpreter's start with the imaging library and the peer's warm compute_diff.
        reps = args.process_repeat
        ours_proc = process_cases(spawn, command, pair_a, pair_b, os.path.join(work, "proc_out"), reps)
        peer_start_t, peer_start_rss = spawn_measured(spawn, [py, "-c", "import PIL.Image"], reps)
        pmn, pmd = stats(peer_start_t)
        ours_proc["startup"].update({"peer_median_s": pmd, "peer_min_s": pmn, "peer_peak_rss_kb": peer_start_rss,
                                     "peer": "python3 -c 'import PIL.Image'"})
        warm = results["compute_diff"]
        ours_proc["diff_process"].update({
            "peer_median_s": warm["peer_median_s"], "peer_min_s": warm["peer_min_s"],
            "peer_peak_rss_kb": warm["peer_peak_rss_kb"], "peer": "compute_diff inside a warm interpreter"})
        peer_proc_t, peer_proc_rss = spawn_measured(
            spawn, [py, os.path.join(PEERS, "diff_peer.py"), pair_a, pair_b, os.path.join(work, "peer_proc")], 5)
        ppmn, ppmd = stats(peer_proc_t)
        ours_proc["diff_process"].update({"peer_process_median_s": ppmd, "peer_process_peak_rss_kb": peer_proc_rss})
        for key in ("startup", "diff_process"):
            e = ours_proc[key]
            e["speedup"] = e["peer_median_s"] / e["median_s"] if e["median_s"] > 0 else None
            results[key] = e
        facts = binary_facts(command, work)
        results["startup"].update({"binary_bytes": facts["bytes"], "stripped_bytes": facts["stripped_bytes"],
                                   "shared_libraries": facts["shared_libraries"]})
        baseline = None
        if args.baseline:
            baseline = process_cases(spawn, os.path.abspath(args.baseline), pair_a, pair_b,
                                     os.path.join(work, "baseline_out"), reps)
            baseline["binary"] = binary_facts(os.path.abspath(args.baseline), work)
            baseline["binary"].pop("libraries")
        print("  processes: done", file=sys.stderr)

        # The whole command against a model server that answers at once.
        results["locate_process"] = locate_process(build, shot, work, args.repeat, run_measured)
        print("  locate_process: done", file=sys.stderr)

        # A whole 10-step `droidlens automate` on a named display against the simulated
        # device: host CPU per step (adb's processes included) and display lookups per run.
        results["automate_process"] = automate_process(build, shot, work)
        print("  automate_process: done", file=sys.stderr)

        # Raw capture against -p, and the answer cache against a model that takes 2 s
        # (bench/fast_paths.py).
        results.update(fast_paths(build, work))
        print("  capture_raw, answer_cache: done", file=sys.stderr)

        # The Python module's own cost per call beside the library's C++ call inside it
        # (bench/python_binding.py), when the module was built.
        module_dir = os.path.join(build, "python")
        if os.path.isdir(module_dir) and any(n.startswith("droidlens.") and n.endswith(".so")
                                             for n in os.listdir(module_dir)):
            out, _ = run_measured([py, os.path.join(ROOT, "bench", "python_binding.py"), "--build", build,
                                   "--repeat", str(max(args.repeat, 30)), pair_a, pair_b, shot,
                                   os.path.join(work, "binding_out")])
            results["python_binding"] = json.loads(out)
            print("  python_binding: done", file=sys.stderr)

        results["mcp_server"] = mcp_server_cases(binary, env)
        print("  mcp_server: done", file=sys.stderr)

        goals = [
            ("compute_diff at least 5x faster than the Pillow peer", results["compute_diff"]["speedup"], 5.0),
            ("compute_diff (large change) at least 5x faster than the peer",
             results["compute_diff_large"]["speedup"], 5.0),
            ("_find_boxes at least 100x faster than pure Python", results["find_boxes"]["speedup"], 100.0),
            ("encode_image (1.0) at least 2x faster than the peer", results["encode_image_1.0"]["speedup"], 2.0),
            ("encode_image (0.5) at least 2x faster than the peer", results["encode_image_0.5"]["speedup"], 2.0),
        ]
        if "parse_and_find_node" in results:
            goals.append(("parse_hierarchy_xml_json + find_nodes_by_center_point at least 10x faster than xml.etree",
                          results["parse_and_find_node"]["speedup"], 10.0))
        goals.append(("capture_screenshot_to_file: share of the time spent in the device's adb calls",
                      results["capture_screenshot_to_file"]["device_share"], 0.5))
        goals.append(("droidlens --version at most a quarter of the interpreter's start with Pillow",
                      results["startup"]["speedup"], 4.0))
        goals.append(("the whole droidlens diff process at least 5x faster than the peer's warm compute_diff",
                      results["diff_process"]["speedup"], 5.0))
        goal_rows = [{"goal": g, "value": round(v, 2), "target": t, "met": v >= t} for g, v, t in goals]
        a = results["automate_runner"]
        flat = a["runner_cpu_per_step_ms_100"] / a["runner_cpu_per_step_ms_10"]
        growth = (a["body_bytes_step100"] - a["body_bytes_step10"]) / 90
        goal_rows.append({"goal": "automate: runner CPU per step at 100 steps over that at 10 steps (flat)",
                          "value": round(flat, 2), "target": 1.25, "met": flat <= 1.25})
        goal_rows.append({"goal": "automate: request body growth per step, steps 10 to 100 (bytes, text only)",
                          "value": round(growth), "target": 1024, "met": growth <= 1024})
        startup_mib = results["startup"]["peak_rss_kb"] / 1024
        goal_rows.append({"goal": "droidlens --version peak memory under 20 MiB", "value": round(startup_mib, 1),
                          "target": 20, "met": startup_mib < 20})
        for key in ("locate_request_1", "locate_request_3"):
            goal_rows.append({"goal": f"{key} (encode + request body) at least 3x faster than the peer",
                              "value": round(results[key]["speedup"], 2), "target": 3.0,
                              "met": results[key]["speedup"] >= 3.0})
        for tool in ("diff", "locate"):
            m = results["mcp_server"][tool]
            goal_rows.append({"goal": f"MCP tools/call {tool}: the server's own time per call (wall, images aside; ms)",
                              "value": round(m["overhead_ms"], 2), "target": 5.0, "met": m["overhead_ms"] < 5.0})
            goal_rows.append({"goal": f"MCP tools/call {tool}: result with its image well under 1 MB (bytes)",
                              "value": m["result_bytes_images"], "target": 800 * 1024,
                              "met": m["result_bytes_images"] < 800 * 1024})
        for key in ("encode_image_1.0", "encode_image_0.5", "locate_request_1", "locate_request_3"):
            e = results[key]
            goal_rows.append({"goal": f"{key} payload no larger than the peer's", "value": e["payload_bytes"],
                              "target": e["peer_payload_bytes"], "met": e["payload_bytes"] <= e["peer_payload_bytes"]})

        lookup = (results["answer_cache"].get("in_process") or {}).get("cache_lookup_ms")
        if lookup is not None:
            goal_rows.append({"goal": "answer cache: a hit's own cost, body hashing included (ms)",
                              "value": round(lookup, 3), "target": 5.0, "met": lookup < 5.0})
        for call, e in results.get("python_binding", {}).items():
            goal_rows.append({"goal": f"Python route({call!r}): the binding's own cost per call under 1 ms (median, ms)",
                              "value": round(e["binding_median_s"] * 1e3, 3), "target": 1.0,
                              "met": e["binding_median_s"] < 1e-3})
        report = {
            "machine": {"platform": platform.platform(), "processor": platform.processor(),
                        "cpus": os.cpu_count(), "python": platform.python_version()},
            "inputs": {"screenshot": os.path.relpath(shot, ROOT), "pair": "screenshot and a changed copy",
                       "large_change_pair": [os.path.relpath(LARGE_A, ROOT), os.path.relpath(LARGE_B, ROOT)],
                       "uidump": os.path.relpath(uidump[0], ROOT) if uidump else None,
                       "repetitions": args.repeat,
                       "query_screenshots": [os.path.relpath(p, ROOT) for p in query_shots]},
            "benchmarks": results,
            "shared_libraries": facts["libraries"],
            "baseline": baseline,
            "goals": goal_rows,
            "seconds": round(time.time() - started, 1),
        }
        with open(args.out, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")

        print(f"{'benchmark':<19} {'median ms':>10} {'min ms':>9} {'peak MiB':>9} | "
              f"{'peer med ms':>11} {'peer min':>9} {'peer MiB':>9} | {'speedup':>8}  payload (ours/peer)")
        for name, e in results.items():
            if "peer_median_s" not in e:
                continue
            payload = f"{e['payload_bytes']}/{e['peer_payload_bytes']}" if "payload_bytes" in e else ""
            print(f"{name:<19} {e['median_s'] * 1e3:>10.2f} {e['min_s'] * 1e3:>9.2f} {e['peak_rss_kb'] / 1024:>9.1f} | "
                  f"{e['peer_median_s'] * 1e3:>11.2f} {e['peer_min_s'] * 1e3:>9.2f} "
                  f"{e['peer_peak_rss_kb'] / 1024:>9.1f} | {e['speedup']:>7.1f}x  {payload}")
        c = results["capture_screenshot_to_file"]
        print(f"{'capture_screenshot_to_file':<19} {c['median_s'] * 1e3:>10.2f} {c['min_s'] * 1e3:>9.2f} "
              f"{c['peak_rss_kb'] / 1024:>9.1f} | device's adb calls alone: median {c['device_median_s'] * 1e3:.2f} ms "
              f"({c['device_share'] * 100:.0f}% of the total)")
        print(f"{'automate_runner':<19} runner CPU per step {a['runner_cpu_per_step_ms_10']:.2f} ms (10 steps), "
              f"{a['runner_cpu_per_step_ms_100']:.2f} ms (100 steps); wall per step {a['wall_per_step_ms_10']:.0f} / "
              f"{a['wall_per_step_ms_100']:.0f} ms, of which the device's adb calls {a['device_calls_per_step_ms']:.0f} ms; "
              f"request body {a['body_bytes_step1']} / {a['body_bytes_step10']} / {a['body_bytes_step100']} bytes "
              f"at steps 1 / 10 / 100")
        st, dp = results["startup"], results["diff_process"]
        print(f"start-up: droidlens --version median {st['median_s'] * 1e3:.1f} ms, peak {st['peak_rss_kb'] / 1024:.1f} MiB; "
              f"python3 + PIL.Image {st['peer_median_s'] * 1e3:.1f} ms, {st['peer_peak_rss_kb'] / 1024:.1f} MiB; "
              f"{st['shared_libraries']} shared libraries, binary {st['binary_bytes'] / 1e6:.1f} MB "
              f"({st['stripped_bytes'] / 1e6:.2f} MB stripped)")
        print(f"droidlens diff process: median {dp['median_s'] * 1e3:.1f} ms, peak {dp['peak_rss_kb'] / 1024:.1f} MiB; "
              f"peer's warm compute_diff {dp['peer_median_s'] * 1e3:.1f} ms; "
              f"peer's whole process {dp['peer_process_median_s'] * 1e3:.1f} ms, "
              f"{dp['peer_process_peak_rss_kb'] / 1024:.1f} MiB")
        if baseline:
            b = baseline
            print(f"baseline {args.baseline}: start-up {b['startup']['median_s'] * 1e3:.1f} ms, "
                  f"{b['startup']['peak_rss_kb'] / 1024:.1f} MiB; diff process {b['diff_process']['median_s'] * 1e3:.1f} ms, "
                  f"{b['diff_process']['peak_rss_kb'] / 1024:.1f} MiB; {b['binary']['shared_libraries']} shared libraries, "
                  f"binary {b['binary']['bytes'] / 1e6:.1f} MB ({b['binary']['stripped_bytes'] / 1e6:.2f} MB stripped)")
        for tool in ("diff", "locate"):
            m = results["mcp_server"][tool]
            print(f"{'mcp ' + tool:<19} direct {m['direct_ms']:.1f} ms, through the server {m['server_ms']:.1f} ms: "
                  f"+{m['overhead_ms']:.2f} ms wall, +{m['cpu_overhead_ms']:.2f} ms CPU; image scaling "
                  f"+{m['image_scaling_ms']:.1f} ms ({m['result_bytes_images']} bytes with the image, "
                  f"{m['result_bytes_text']} without)")
        mr = results["mcp_server"]
        print(f"{'mcp fixed path':<19} {mr['roundtrip_us']:.1f} us per tools/call answered without running a mode; "
              f"image scaling alone {mr['preview_ms']:.1f} ms ({mr['preview_png_bytes']} bytes of PNG)")
        ap_ = results["automate_process"]
        print(f"{'droidlens automate':<19} host CPU per step {ap_['host_cpu_per_step_ms']:.1f} ms, wall per step "
              f"{ap_['wall_per_step_ms']:.1f} ms, display lookups per run {ap_['display_lookups_per_run']} "
              f"({ap_['steps']} steps, adb's processes included)")
        for size in ("1080x2400", "1440x3200"):
            c = results["capture_raw"][size]
            print(f"{'capture ' + size:<19} -p: {c['png']['adb_bytes']} bytes over adb, host CPU "
                  f"{c['png']['host_cpu_ms']:.1f} ms; raw: {c['raw']['adb_bytes']} bytes, host CPU "
                  f"{c['raw']['host_cpu_ms']:.1f} ms (the device's PNG encoding, not simulated, costs "
                  f"0.45-2.1 s on real hardware)")
        ac = results["answer_cache"]
        print(f"{'answer cache':<19} locate miss {ac['locate_process']['miss_ms']:.0f} ms, hit "
              f"{ac['locate_process']['hit_ms']:.1f} ms (whole processes); automate 10 steps recorded "
              f"{ac['automate_10_steps']['recorded_s']:.1f} s, replayed {ac['automate_10_steps']['replayed_s']:.2f} s")
        lp = results["locate_process"]
        print(f"{'droidlens locate':<19} {lp['median_s'] * 1e3:>10.2f} {lp['min_s'] * 1e3:>9.2f} "
              f"{lp['peak_rss_kb'] / 1024:>9.1f} | whole process, model answering at once")
        for call, e in results.get("python_binding", {}).items():
            print(f"python route({call!r}): median {e['median_s'] * 1e3:.2f} ms, of which the C++ call "
                  f"{e['library_median_s'] * 1e3:.2f} ms; the binding's own cost median "
                  f"{e['binding_median_s'] * 1e3:.3f} ms, at most {e['binding_max_s'] * 1e3:.3f} ms; "
                  f"calling thread's CPU {e['binding_cpu_median_s'] * 1e3:.3f} ms")
        print()
        for g in goal_rows:
            print(f"[{'met' if g['met'] else 'NOT MET'}] {g['goal']}: {g['value']} (target {g['target']})")
        print(f"\nwrote {os.path.relpath(args.out, os.getcwd())}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
