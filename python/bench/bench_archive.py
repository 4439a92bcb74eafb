"""kx.archive on a LocalCluster of two worker processes against
`kxconv -j 2` on the same pictures, round by round (paired): encoding a
folder of PPM pictures to KX, and decoding the KX files to PPM. Each
round runs both on empty output folders and checks that they wrote the
same bytes; the cluster is started once, before the rounds (its start-up
is reported apart).

    KX_LIBRARY=$PWD/build/release/libkx.so.1 PYTHONPATH=python/src \\
        /usr/bin/python3 python/bench/bench_archive.py build/release/tools/kxconv [ROUNDS [PICTURES]]
"""

import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from distributed import Client, LocalCluster
from PIL import Image

from kx import archive


def make_pictures(folder, count, width=1600, height=1200):
    """Pictures with flat areas, edges, gradients and noise, each different."""
    for k in range(count):
        fractal = Image.effect_mandelbrot((width, height), (-2.0 + k * 0.01, -1.2, 1.0, 1.2), 100)
        gradient = Image.linear_gradient("L").resize((width, height)).rotate(k * 15)
        noise = Image.effect_noise((width, height), 8 + k)
        Image.merge("RGB", (fractal, gradient, noise)).save(os.path.join(folder, f"picture-{k:02d}.ppm"))


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main():
    kxconv = os.path.abspath(sys.argv[1])
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 16
    work = tempfile.mkdtemp(prefix="bench-archive.")
    try:
        pictures = os.path.join(work, "ppm")
        os.mkdir(pictures)
        make_pictures(pictures, count)
        inputs = sorted(os.path.join(pictures, name) for name in os.listdir(pictures))
        kx_dir = os.path.join(work, "kx")
        os.mkdir(kx_dir)
        subprocess.run([kxconv, "encode", "-j", "2", "-o", kx_dir, *inputs], check=True)
        kx_files = sorted(os.path.join(kx_dir, name) for name in os.listdir(kx_dir))

        started = time.perf_counter()
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)
        client.wait_for_workers(2)
        start_up = time.perf_counter() - started

        results = {"encode": [], "decode": []}
        for _ in range(rounds):
            for direction, source, to, ext in (("encode", pictures, "kx", ".kx"), ("decode", kx_dir, "ppm", ".ppm")):
                native_out = os.path.join(work, "native")
                dask_out = os.path.join(work, "dask")
                for folder in (native_out, dask_out):
                    shutil.rmtree(folder, ignore_errors=True)
                    os.mkdir(folder)
                files = inputs if direction == "encode" else kx_files
                # kxconv -j 2 shares the pictures between two threads when
                # encoding; decoding goes one file at a time, so it is given
                # two processes with half of the files each.
                if direction == "encode":
                    native = timed(lambda: subprocess.run([kxconv, "encode", "-j", "2", "-o", native_out, *files],
                                                          check=True))
                else:
                    def two_processes():
                        halves = [subprocess.Popen([kxconv, "decode", "-o", native_out, "--format", "ppm",
                                                    *files[k::2]]) for k in range(2)]
                        assert all(p.wait() == 0 for p in halves)
                    native = timed(two_processes)
                outcomes = []
                distributed = timed(lambda: outcomes.extend(archive.convert_tree(client, source, dask_out, to)))
                assert all(o.status == archive.WRITTEN for o in outcomes), outcomes
                names = sorted(os.listdir(native_out))
                assert names == sorted(os.listdir(dask_out)) and len(names) == count
                assert all(filecmp.cmp(os.path.join(native_out, n), os.path.join(dask_out, n), shallow=False)
                           for n in names), "the outputs differ"
                results[direction].append((native, distributed))
        client.close()
        cluster.close()
    finally:
        shutil.rmtree(work)

    megapixels = count * 1600 * 1200 / 1e6
    print(f"{count} pictures of 1600 x 1200 ({megapixels:.1f} megapixels), {rounds} rounds; "
          f"cluster start-up {start_up:.2f} s; load average {os.getloadavg()[0]:.1f}")
    print("| direction | kxconv (s) | kx.archive on 2 workers (s) | ratio |")
    print("|---|---:|---:|---:|")
    for direction, pairs in results.items():
        native = statistics.median(p[0] for p in pairs)
        distributed = statistics.median(p[1] for p in pairs)
        ratio = statistics.median(p[1] / p[0] for p in pairs)
        print(f"| {direction} | {native:.2f} | {distributed:.2f} | {ratio:.2f} |")


if __name__ == "__main__":
    main()
