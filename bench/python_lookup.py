"""Verdict lookups through the Python module (ctypes over the C interface),
reported as they are: the median of five rounds of 200,000 lookups on a list
of 10,000 host names, 90% of them hitting. Run with PYTHONPATH=python and
VARNEX_LIBRARY naming the library:

    python3 bench/python_lookup.py
"""

import os
import random
import statistics
import tempfile
import time

import varnex

directory = tempfile.mkdtemp(prefix="varnex-bench-py-")
os.environ["VARNEX_SYSTEM_DIR"] = directory
random.seed(7)
names = [f"host{i}.{random.choice(['example', 'test', 'sample'])}.org" for i in range(10000)]
queries = [random.choice(names) if random.random() < 0.9 else f"miss{i}.example.net"
           for i in range(4096)]
with varnex.List(varnex.BASE) as rules:
    rules.add_many([varnex.record(f"r{i}", name) for i, name in enumerate(names)])
    encoded = [q.encode() for q in queries]
    rounds = []
    for _ in range(5):
        start = time.perf_counter()
        hits = 0
        for i in range(200000):
            hits += rules.match(encoded[i & 4095])
        rounds.append((time.perf_counter() - start) / 200000)
    print(f"Python ctypes, List.match: {statistics.median(rounds) * 1e9:.0f} ns per lookup "
          f"(hit rate {hits / 200000:.2f})")
    rules.reset()
for name in os.listdir(directory):
    os.unlink(os.path.join(directory, name))
os.rmdir(directory)
