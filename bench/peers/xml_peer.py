#!/usr/bin/python3
"""Python peer of droidlens' UI hierarchy path: parse a uiautomator window dump with
the standard xml.etree parser into node records by display, then find the smallest
node under a point, for the benchmarks to compare against.

    xml_peer.py DUMP.xml X Y [--repeat N]

Each of the N samples is the mean of a batch of calls (one call takes well under a
millisecond). Prints one JSON object: the per-call seconds of each sample and the
result of the last call.
"""
import argparse
import json
import re
import time
import xml.etree.ElementTree as ET

_BOUNDS_RE = re.compile(r"\[(\d+),(\d+)\]")


def parse_bounds(bounds_str):
    matches = _BOUNDS_RE.findall(bounds_str)
    if len(matches) != 2:
        return None
    (x1, y1), (x2, y2) = matches
    return int(x1), int(y1), int(x2), int(y2)


def parse_hierarchy_xml_json(xml_text):
    root = ET.fromstring(xml_text)
    nodes_by_display = {}

    def extract_node(element):
        record = dict(element.attrib)
        display_id = element.attrib.get("display-id", "0")
        nodes_by_display.setdefault(display_id, []).append(record)
        for child in element:
            extract_node(child)

    for child in root:
        extract_node(child)
    return nodes_by_display


def find_nodes_by_center_point(nodes_json, center_x, center_y, display_id="0"):
    if display_id not in nodes_json:
        return None
    matching = []
    for node in nodes_json[display_id]:
        bounds = parse_bounds(node.get("bounds", ""))
        if bounds is None:
            continue
        x1, y1, x2, y2 = bounds
        if x1 <= center_x <= x2 and y1 <= center_y <= y2:
            matching.append((node, bounds))
    if not matching:
        return None
    matching.sort(key=lambda item: (item[1][2] - item[1][0]) * (item[1][3] - item[1][1]))
    return matching[0][0]


def one_call(text, x, y):
    nodes = parse_hierarchy_xml_json(text)
    return nodes, find_nodes_by_center_point(nodes, x, y)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dump")
    ap.add_argument("x", type=int)
    ap.add_argument("y", type=int)
    ap.add_argument("--repeat", type=int, default=9)
    ap.add_argument("--sample-seconds", type=float, default=0.3)
    args = ap.parse_args()
    with open(args.dump, encoding="utf-8") as f:
        text = f.read()

    # Batch size: enough calls for one sample to last about --sample-seconds.
    start = time.perf_counter()
    calls = 0
    while time.perf_counter() - start < 0.05:
        one_call(text, args.x, args.y)
        calls += 1
    batch = max(1, int(calls * args.sample_seconds / (time.perf_counter() - start)))

    times = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        for _ in range(batch):
            nodes, node = one_call(text, args.x, args.y)
        times.append((time.perf_counter() - start) / batch)
    print(json.dumps({"times": times, "result": {"nodes": len(nodes.get("0", [])), "found": node is not None}}))


if __name__ == "__main__":
    main()
