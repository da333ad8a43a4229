#!/usr/bin/python3
"""The Python module's own cost per call: droidlens.route("diff") on a screenshot pair
and droidlens.route("locate") against the scripted model server answering at once,
each timed from Python, beside the time the library's C++ call took inside the same
call (droidlens._last_library_seconds()). The difference is what the binding adds:
argument conversion, the worker thread, releasing and retaking the interpreter lock,
and building the record's dict; on a busy machine also the wait until the calling
thread is scheduled again after the worker ends. The calling thread's CPU time is
given too (the binding's computation alone). Used by bench/run.py; prints JSON.

    python_binding.py --build BUILD --repeat N PAIR_A PAIR_B SCREENSHOT OUT_DIR
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from query_process import _tool_reply


def measure(call, repeat):
    """Runs call() repeat + 1 times (the first warms up): per-call seconds in Python and
    in the library."""
    import droidlens
    total, library, cpu = [], [], []
    for i in range(repeat + 1):
        started, started_cpu = time.perf_counter(), time.thread_time()
        call()
        elapsed, elapsed_cpu = time.perf_counter() - started, time.thread_time() - started_cpu
        if i > 0:
            total.append(elapsed)
            library.append(droidlens._last_library_seconds())
            cpu.append(elapsed_cpu)
    binding = [t - lib for t, lib in zip(total, library)]
    # The calling thread's own CPU time: the library runs on the worker thread, so
    # this is what the binding computes, without the wait for the thread to be woken.
    return {"median_s": statistics.median(total), "min_s": min(total),
            "library_median_s": statistics.median(library), "library_min_s": min(library),
            "binding_median_s": statistics.median(binding), "binding_max_s": max(binding),
            "binding_cpu_median_s": statistics.median(cpu)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--repeat", type=int, default=20)
    ap.add_argument("pair_a")
    ap.add_argument("pair_b")
    ap.add_argument("shot")
    ap.add_argument("out")
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import droidlens

    results = {"diff": measure(lambda: droidlens.route(None, "diff", "", [args.pair_a, args.pair_b],
                                                       output_dir=args.out), args.repeat)}

    server_bin = os.path.join(args.build, "tests", "fake_chat_server")
    script = os.path.join(args.out, "binding_script.json")
    os.makedirs(args.out, exist_ok=True)
    with open(script, "w") as f:
        json.dump([_tool_reply() for _ in range(args.repeat + 1)], f)
    server = subprocess.Popen([server_bin, "--script", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = server.stdout.readline().decode()
        if not line.startswith("PORT "):
            raise SystemExit(f"bench: fake_chat_server did not start: {line!r}")
        llm = droidlens.Modelwire(droidlens.ModelConfig(f"http://127.0.0.1:{line.split()[1]}/v1", "bench-key",
                                                        "vision-model", max_retries=0))
        results["locate"] = measure(lambda: droidlens.route(llm, "locate", "the search button", [args.shot],
                                                            output_dir=args.out), args.repeat)
    finally:
        server.stdin.close()
        server.wait(timeout=10)
    print(json.dumps(results))


if __name__ == "__main__":
    main()
