#!/usr/bin/python3
"""Pillow peer of droidlens' decoders and resampler, timed inside a warm interpreter.

    imaging_peer.py decode IMAGE [--repeat N]
    imaging_peer.py resample IMAGE --filter lanczos|bilinear [--repeat N]

decode: Image.open(...).convert("RGB") with the pixels loaded. resample: the image
(RGB for lanczos, its green channel as grey for bilinear, like droidlens' benchmark)
halved with Image.resize. Prints one JSON object: the per-run seconds and the size.
"""
import argparse
import json
import time

from PIL import Image


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", choices=["decode", "resample"])
    p.add_argument("image")
    p.add_argument("--filter", choices=["lanczos", "bilinear"], default="lanczos")
    p.add_argument("--repeat", type=int, default=1)
    args = p.parse_args()
    times = []
    size = None
    if args.what == "decode":
        for _ in range(args.repeat):
            t = time.perf_counter()
            with Image.open(args.image) as img:
                rgb = img.convert("RGB")
                rgb.load()
            times.append(time.perf_counter() - t)
            size = rgb.size
    else:
        src = Image.open(args.image).convert("RGB")
        if args.filter == "bilinear":
            src = src.getchannel("G")
        method = Image.LANCZOS if args.filter == "lanczos" else Image.BILINEAR
        for _ in range(args.repeat):
            t = time.perf_counter()
            out = src.resize((src.width // 2, src.height // 2), method)
            times.append(time.perf_counter() - t)
            size = out.size
    print(json.dumps({"times": times, "result": {"width": size[0], "height": size[1]}}))


if __name__ == "__main__":
    main()
