#!/usr/bin/env python3
"""Prints the squares it receives; stops after count samples or 10 s without any.

    python3 shapes_subscriber.py [Shapes.xml] [count]
"""
import sys
from pathlib import Path

import quelt_dds

xml = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parents[1] / "shapes" / "Shapes.xml")
count = int(sys.argv[2]) if len(sys.argv) > 2 else 50

with quelt_dds.Connector("ShapesLib::ShapeSubscriber", xml) as conn:
    reader = conn.reader("Sub::SquareReader")
    received = 0
    while received < count and conn.wait(timeout=10.0):
        for sample in reader.take():
            if sample.data is None:  # a dispose or unregister notice: no members
                continue
            if received == count:
                break
            received += 1
            print(f"{sample['color']} x={sample['x']} y={sample['y']} size={sample['shapesize']}"
                  f" at {sample.info['source_timestamp']:.0f} ms", flush=True)
    print(f"received {received}", flush=True)
