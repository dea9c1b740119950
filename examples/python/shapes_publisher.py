#!/usr/bin/env python3
"""Publishes BLUE squares every 100 ms.

    python3 shapes_publisher.py [Shapes.xml] [count]
"""
import sys
import time
from pathlib import Path

import quelt_dds

xml = sys.argv[1] if len(sys.argv) > 1 else str(Path(__file__).resolve().parents[1] / "shapes" / "Shapes.xml")
count = int(sys.argv[2]) if len(sys.argv) > 2 else 50

with quelt_dds.Connector("ShapesLib::ShapePublisher", xml) as conn:
    writer = conn.writer("Pub::SquareWriter")
    writer["color"] = "BLUE"
    writer["shapesize"] = 30
    for x in range(1, count + 1):
        writer.update({"x": x, "y": 2 * x})
        writer.write()
        print(f"wrote x={x}", flush=True)
        time.sleep(0.1)
