#!/usr/bin/python3
"""Pillow peer of droidlens' compute_diff: the same steps with Python and Pillow,
including a pure-Python region search, for the benchmarks to compare against.

    diff_peer.py A B OUT_DIR [--repeat N] [--find-boxes-only]

Prints one JSON object: the per-run seconds and the result of the last run.
"""
import argparse
import json
import os
import time

from PIL import Image, ImageChops, ImageDraw, ImageStat


def _find_boxes(mask, min_area):
    width, height = mask.size
    pixels = mask.load()
    visited = bytearray(width * height)
    boxes = []
    for y in range(height):
        row_offset = y * width
        for x in range(width):
            idx = row_offset + x
            if visited[idx] or pixels[x, y] == 0:
                continue
            stack = [(x, y)]
            visited[idx] = 1
            min_x = max_x = x
            min_y = max_y = y
            area = 0
            while stack:
                cx, cy = stack.pop()
                area += 1
                if cx < min_x:
                    min_x = cx
                if cx > max_x:
                    max_x = cx
                if cy < min_y:
                    min_y = cy
                if cy > max_y:
                    max_y = cy
                for nx, ny in ((cx - 1, cy), (cx + 1, cy), (cx, cy - 1), (cx, cy + 1)):
                    if 0 <= nx < width and 0 <= ny < height:
                        nidx = ny * width + nx
                        if not visited[nidx] and pixels[nx, ny] != 0:
                            visited[nidx] = 1
                            stack.append((nx, ny))
            if area >= min_area:
                boxes.append([min_x, min_y, max_x, max_y])
    return boxes


def _mask(image_a, image_b, threshold, scale):
    img_a = Image.open(image_a).convert("RGB")
    img_b = Image.open(image_b).convert("RGB")
    resized = False
    if img_a.size != img_b.size:
        img_b = img_b.resize(img_a.size, Image.LANCZOS)
        resized = True
    diff = ImageChops.difference(img_a, img_b).convert("L")
    score = ImageStat.Stat(diff).mean[0] / 255.0
    if scale == 1.0:
        small = diff
    else:
        small = diff.resize((max(1, int(diff.width * scale)), max(1, int(diff.height * scale))), Image.BILINEAR)
    mask = small.point(lambda p: 255 if p > threshold else 0)
    return img_a, diff, mask, score, resized


def compute_diff(image_a, image_b, output_dir, threshold=25, min_area=60, scale=0.5, max_boxes=10):
    img_a, diff, mask, score, resized = _mask(image_a, image_b, threshold, scale)
    boxes = _find_boxes(mask, min_area)
    if scale != 1.0:
        sx = diff.width / mask.width
        sy = diff.height / mask.height
        boxes = [[int(b[0] * sx), int(b[1] * sy), int(b[2] * sx), int(b[3] * sy)] for b in boxes]
    boxes.sort(key=lambda b: (b[2] - b[0]) * (b[3] - b[1]), reverse=True)
    boxes = boxes[:max_boxes]
    os.makedirs(output_dir, exist_ok=True)
    stem = os.path.splitext(os.path.basename(image_a))[0]
    out_path = os.path.join(output_dir, stem + "_diff.png")
    overlay = img_a.copy()
    draw = ImageDraw.Draw(overlay)
    for b in boxes:
        draw.rectangle(b, outline=(255, 0, 0), width=3)
    if resized:
        draw.text((10, 10), "note: image_b resized", fill=(255, 0, 0))
    overlay.save(out_path)
    return {"diff_score": score, "diff_boxes": boxes, "diff_image_path": out_path}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("image_a")
    p.add_argument("image_b")
    p.add_argument("output_dir")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--find-boxes-only", action="store_true")
    p.add_argument("--scale", type=float, default=0.5)
    p.add_argument("--min-area", type=int, default=60)
    args = p.parse_args()
    times = []
    result = None
    if args.find_boxes_only:
        mask = _mask(args.image_a, args.image_b, 25, args.scale)[2]
        for _ in range(args.repeat):
            t = time.perf_counter()
            result = {"boxes": _find_boxes(mask, args.min_area)}
            times.append(time.perf_counter() - t)
    else:
        for _ in range(args.repeat):
            t = time.perf_counter()
            result = compute_diff(args.image_a, args.image_b, args.output_dir, scale=args.scale,
                                  min_area=args.min_area)
            times.append(time.perf_counter() - t)
    print(json.dumps({"times": times, "result": result}))


if __name__ == "__main__":
    main()
