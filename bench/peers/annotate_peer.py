#!/usr/bin/python3
"""Pillow peer of droidlens' annotate_image: convert the relative box to pixels,
draw the outline and the centre circle (width 3), save stem + "_locate.png".

    annotate_peer.py IMAGE OUT_DIR [--repeat N]

Prints one JSON object: the per-run seconds and the written path.
"""
import argparse
import json
import os
import time

from PIL import Image, ImageDraw

BOX = [120, 310, 880, 420]  # the box the C++ benchmark draws


def to_absolute_box(box, width, height):
    x1 = int((box[0] / 1000) * width)
    y1 = int((box[1] / 1000) * height)
    x2 = int((box[2] / 1000) * width)
    y2 = int((box[3] / 1000) * height)
    x1 = max(0, min(x1, width - 1))
    y1 = max(0, min(y1, height - 1))
    x2 = max(0, min(x2, width - 1))
    y2 = max(0, min(y2, height - 1))
    return x1, y1, x2, y2


def annotate_image(image_path, bounding_box, width, height, output_dir, suffix="locate"):
    os.makedirs(output_dir, exist_ok=True)
    img = Image.open(image_path).convert("RGB")
    x1, y1, x2, y2 = to_absolute_box(bounding_box, width, height)
    draw = ImageDraw.Draw(img)
    draw.rectangle([x1, y1, x2, y2], outline=(0, 255, 0), width=3)
    cx, cy = int((x1 + x2) / 2), int((y1 + y2) / 2)
    draw.ellipse([cx - 6, cy - 6, cx + 6, cy + 6], outline=(0, 255, 0), width=3)
    safe = (suffix or "locate").strip().replace(" ", "-")
    stem = os.path.splitext(os.path.basename(image_path))[0]
    out = os.path.join(output_dir, f"{stem}_{safe}.png")
    img.save(out)
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("image")
    p.add_argument("output_dir")
    p.add_argument("--repeat", type=int, default=1)
    args = p.parse_args()
    with Image.open(args.image) as probe:
        width, height = probe.size
    times = []
    out = None
    for _ in range(args.repeat):
        t = time.perf_counter()
        out = annotate_image(args.image, BOX, width, height, args.output_dir)
        times.append(time.perf_counter() - t)
    print(json.dumps({"times": times, "result": {"path": out}}))


if __name__ == "__main__":
    main()
