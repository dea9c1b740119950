#!/usr/bin/env python3
"""Samples per second of the Python binding's two loops, next to the same loops in C (run by
python_baseline in the same run, alternating, each repeated):
  "update 4 members, write": w.update({color, x, y, shapesize}); w.write()
  "take, read 4 members": r.take() until a batch of 1000 is read, then s["color"], s["x"], s["y"], s["shapesize"]

    PYTHONPATH=python QUELT_DDS_LIBRARY=build/connector/libquelt_dds_connector.so \\
        python3 bench/python_bench.py build [samples] [rounds]

The two sides use copies of bench.xml on domains 56 and 57.
"""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quelt_dds

BATCH = 1000
COLORS = ("RED", "GREEN", "BLUE", "YELLOW")


def bench_xml(directory, domain):
    text = (Path(__file__).resolve().parent / "bench.xml").read_text()
    path = Path(directory) / f"bench_{domain}.xml"
    path.write_text(text.replace('domain_id="194"', f'domain_id="{domain}"'))
    return str(path)


def python_loops(xml, samples):
    writing = reading = 0.0
    taken = 0
    total = 0
    with quelt_dds.Connector("BenchLib::Loop", xml) as conn:
        w, r = conn.writer("Pub::Writer"), conn.reader("Sub::Reader")
        # Writer and reader match a moment after creation: samples written before are not delivered.
        for _ in range(100):
            w.write({"color": "RED", "x": 0, "y": 0, "shapesize": 30})
            if conn.wait(timeout=0.05) and r.take():
                break
        for done in range(0, samples, BATCH):
            t0 = time.perf_counter()
            for i in range(done, done + BATCH):
                w.update({"color": COLORS[i % 4], "x": i, "y": i // 4, "shapesize": 30})
                w.write()
            t1 = time.perf_counter()
            while True:  # a take hands out a limited number of samples: until none is left
                batch = r.take()
                if not batch:
                    break
                for s in batch:
                    total += len(s["color"]) + s["x"] + s["y"] + s["shapesize"]
                taken += len(batch)
            t2 = time.perf_counter()
            writing += t1 - t0
            reading += t2 - t1
    if taken != samples:
        raise SystemExit(f"{taken} of {samples} samples came back")
    return samples / writing, samples / reading


def c_loops(program, xml, samples):
    out = subprocess.run([program, xml, str(samples)], check=True, capture_output=True, text=True).stdout
    return tuple(float(line.rsplit(":", 1)[1]) for line in out.splitlines())


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    samples = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    program = build / "bench" / "python_baseline"
    with tempfile.TemporaryDirectory() as tmp:
        py_xml, c_xml = bench_xml(tmp, 56), bench_xml(tmp, 57)
        rows = []
        for _ in range(rounds):
            rows.append((python_loops(py_xml, samples), c_loops(str(program), c_xml, samples)))
    names = ("update 4 members, write", "take, read 4 members")
    print(f"{samples} samples, {rounds} rounds (median), samples/s")
    print(f"{'loop':28} {'Python':>10} {'C':>10} {'Python/C':>9}")
    for k, name in enumerate(names):
        py = sorted(r[0][k] for r in rows)[rounds // 2]
        c = sorted(r[1][k] for r in rows)[rounds // 2]
        print(f"{name:28} {py:10.0f} {c:10.0f} {py / c:9.2f}")


if __name__ == "__main__":
    main()
