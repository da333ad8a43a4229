#!/usr/bin/python3
"""Pillow peer of droidlens' encode_image: open, convert to RGB, optionally shrink
with Lanczos, save as PNG with optimize=True, Base64-encode.

    encode_peer.py IMAGE [--factor F] [--repeat N]

Prints one JSON object: the per-run seconds, the image size and the Base64 length.
"""
import argparse
import base64
import io
import json
import time

from PIL import Image


def encode_image(image_path, quality=95, resize_factor=1.0):
    with Image.open(image_path) as img:
        img = img.convert("RGB")
        orig_width, orig_height = img.size
        if resize_factor not in (0, 1.0):
            new_w = max(int(orig_width * resize_factor), 1)
            new_h = max(int(orig_height * resize_factor), 1)
            img = img.resize((new_w, new_h), Image.LANCZOS)
        buf = io.BytesIO()
        img.save(buf, format="PNG", optimize=True, quality=quality)
    return base64.b64encode(buf.getvalue()).decode("ascii"), orig_width, orig_height


def main():
    p = argparse.ArgumentParser()
    p.add_argument("image")
    p.add_argument("--factor", type=float, default=1.0)
    p.add_argument("--repeat", type=int, default=1)
    args = p.parse_args()
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        b64, w, h = encode_image(args.image, resize_factor=args.factor)
        times.append(time.perf_counter() - t)
    print(json.dumps({"times": times, "result": {"width": w, "height": h, "payload_bytes": len(b64)}}))


if __name__ == "__main__":
    main()
