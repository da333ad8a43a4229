#!/usr/bin/python3
"""Python + Pillow peer of one droidlens locate request, without the model: encode
each screenshot (open, RGB, PNG with optimize=True, Base64), build the messages, the
tool and the request body, and serialise it as JSON.

    query_peer.py IMAGE [IMAGE ...] [--repeat N]

Prints one JSON object: the per-run seconds and the body size in bytes.
"""
import argparse
import base64
import io
import json
import time

from PIL import Image

TOOL = {
    "type": "function",
    "function": {
        "name": "return_target",
        "description": "Return the target element location for the user request.",
        "parameters": {
            "type": "object",
            "properties": {
                "label": {"type": "string"},
                "bounding_box": {"type": "array", "items": {"type": "number"},
                                 "description": "XYXY in 0-1000 relative coordinates."},
                "confidence": {"type": "number"},
                "page": {"type": "integer"},
            },
            "required": ["label", "bounding_box", "confidence", "page"],
        },
    },
}
SYSTEM = ("Find the UI element for the user request. Return bounding_box as [x1,y1,x2,y2] in 0-1000 "
          "relative coordinates.")


def encode_image(path):
    with Image.open(path) as img:
        img = img.convert("RGB")
        width, height = img.size
        buf = io.BytesIO()
        img.save(buf, format="PNG", optimize=True, quality=95)
    return base64.b64encode(buf.getvalue()).decode("ascii"), width, height


def request_body(prompt, paths):
    messages = [
        {"role": "system", "content": [{"type": "text", "text": SYSTEM}]},
        {"role": "user", "content": [{"type": "text", "text": "User request: " + prompt}]},
    ]
    dimensions = []
    for path in paths:
        b64, w, h = encode_image(path)
        dimensions.append((w, h))
        messages.append({"role": "user", "content": [
            {"type": "text", "text": f"Screenshot (page={len(messages) - 1}):"},
            {"type": "image_url", "image_url": {"url": "data:image/png;base64," + b64}},
        ]})
    body = {"model": "vision-model", "messages": messages, "tools": [TOOL],
            "tool_choice": {"type": "function", "function": {"name": "return_target"}},
            "temperature": 0.1, "max_tokens": 4096}
    return json.dumps(body, ensure_ascii=False, separators=(",", ":")).encode("utf-8"), dimensions


def main():
    p = argparse.ArgumentParser()
    p.add_argument("images", nargs="+")
    p.add_argument("--repeat", type=int, default=1)
    args = p.parse_args()
    times = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        body, _ = request_body("the search button", args.images)
        times.append(time.perf_counter() - t)
    print(json.dumps({"times": times, "result": {"payload_bytes": len(body)}}))


if __name__ == "__main__":
    main()
