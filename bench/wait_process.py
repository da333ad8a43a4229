#!/usr/bin/python3
"""The wait mode over a screen that stays unchanged for 20 polls, then changes: how many
model calls the 20 unchanged polls cost (one: the first screen's), and the host CPU of
one poll besides the capture, in one Python process through the droidlens module
against the simulated adb server (real adb client) and the scripted model server.

Each with the default capture (raw, encoded on the host) and with the device's own PNG
(capture="png"), in two cases: the device sends byte-identical PNGs of the unchanged screen (what a
device's deterministic encoder does), and PNGs that differ in bytes but not in pixels
(each poll then decodes and compares the pixels, as with a device whose encoder
varies).

    PYTHONPATH=build/python /usr/bin/python3 bench/wait_process.py --build build

Used by bench/run.py (wait_cases()).
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERIAL = "BENCHWAIT"
UNCHANGED_POLLS = 20


def _verdict(passed):
    call = {"id": "call_1", "type": "function",
            "function": {"name": "return_verdict",
                         "arguments": json.dumps({"passed": passed, "reason": "bench", "confidence": 1})}}
    message = {"role": "assistant", "content": None, "tool_calls": [call]}
    return {"status": 200, "body": {"id": "c", "object": "chat.completion", "created": 0, "model": "m",
                                    "choices": [{"index": 0, "message": message, "finish_reason": "tool_calls"}]}}


def _recompressed(png, level):
    """The same PNG with its image data deflated again at another level: other bytes,
    the same pixels."""
    out, pos, idat = [png[:8]], 8, b""
    chunks = []
    while pos < len(png):
        n = int.from_bytes(png[pos:pos + 4], "big")
        kind, data = png[pos + 4:pos + 8], png[pos + 8:pos + 8 + n]
        chunks.append((kind, data))
        pos += 12 + n
    idat = zlib.compress(zlib.decompress(b"".join(d for k, d in chunks if k == b"IDAT")), level)
    written = False
    for kind, data in chunks:
        if kind == b"IDAT":
            if written:
                continue
            data, written = idat, True
        crc = zlib.crc32(kind + data).to_bytes(4, "big")
        out.append(len(data).to_bytes(4, "big") + kind + data + crc)
    return b"".join(out)


def _device(root, same_bytes):
    d = os.path.join(root, SERIAL, "screens")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(root, "devices.txt"), "w") as f:
        f.write(f"List of devices attached\n{SERIAL}        device product:bench model:Bench_Phone\n\n")
    with open(os.path.join(ROOT, "examples", "settings_before.png"), "rb") as f:
        before = f.read()
    variants = [before, _recompressed(before, 1)]
    for poll in range(1, UNCHANGED_POLLS + 1):
        with open(os.path.join(d, f"{poll}.png"), "wb") as f:
            f.write(before if same_bytes else variants[poll % 2])
    shutil.copyfile(os.path.join(ROOT, "examples", "settings_after.png"),
                    os.path.join(d, f"{UNCHANGED_POLLS + 1}.png"))


def wait_case(build, work, same_bytes, capture="auto"):
    import droidlens
    chat_bin = os.path.join(build, "tests", "fake_chat_server")
    adb_server = os.path.join(ROOT, "tests", "fakes", "adb_server.py")
    root = os.path.join(work, ("same" if same_bytes else "recoded") + "_" + capture)
    _device(root, same_bytes)
    script = os.path.join(work, "wait_script.json")
    with open(script, "w") as f:
        json.dump([_verdict(False), _verdict(True)], f)
    adb = subprocess.Popen([sys.executable, adb_server, "--root", root], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    chat = subprocess.Popen([chat_bin, "--script", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        adb_port = adb.stdout.readline().decode().strip()
        line = chat.stdout.readline().decode()
        os.environ["ADB_SERVER_SOCKET"] = f"tcp:127.0.0.1:{adb_port}"
        llm = droidlens.Modelwire(droidlens.ModelConfig(f"http://127.0.0.1:{line.split()[1]}/v1", None, "m"))
        self0, kids0 = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        record = droidlens.route(llm, "wait", "the screen changed", device_id=SERIAL,
                                 output_dir=os.path.join(root, "out"), timeout=120, interval=0,
                                 capture=capture)
        wall = time.perf_counter() - started
        self1, kids1 = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    finally:
        for server in (adb, chat):
            server.stdin.close()
            server.wait(timeout=10)
    if not record["passed"] or record["polls"] != UNCHANGED_POLLS + 1:
        raise SystemExit(f"bench: the wait did not end as planned: {record}")
    own = (self1.ru_utime - self0.ru_utime) + (self1.ru_stime - self0.ru_stime)
    adb_cpu = (kids1.ru_utime - kids0.ru_utime) + (kids1.ru_stime - kids0.ru_stime)
    polls = record["polls"]
    return {"polls": polls, "model_calls": record["model_calls"],
            # The first screen is judged once; the 20 polls of it that follow ask nothing.
            "model_calls_over_unchanged_polls": record["model_calls"] - 1,
            "host_cpu_per_poll_ms": own * 1e3 / polls, "adb_cpu_per_poll_ms": adb_cpu * 1e3 / polls,
            "wall_per_poll_ms": wall * 1e3 / polls}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    args = ap.parse_args()
    build = args.build if os.path.isabs(args.build) else os.path.join(ROOT, args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    work = tempfile.mkdtemp(prefix="droidlens_bench_wait_")
    try:
        # The default capture (raw where the device gives it: the PNG is encoded on the
        # host, part of each poll's host time) and the device's own PNG (-p).
        result = {"raw_capture": {"same_bytes": wait_case(build, work, True),
                                  "same_pixels_other_bytes": wait_case(build, work, False)},
                  "png_capture": {"same_bytes": wait_case(build, work, True, "png"),
                                  "same_pixels_other_bytes": wait_case(build, work, False, "png")}}
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
