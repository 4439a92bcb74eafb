"""Image.open(path).load() through the plug-in against the library's own
decode, in one process, round by round, on the benchmark pictures.

    KX_LIBRARY=build/release/libkx.so.1 PYTHONPATH=python/src \\
        /usr/bin/python3 python/bench/bench_load.py [ROUNDS] [DIR]

DIR holds the pictures: flat.kx, photo.kx and art.kx as bench's
write_pictures makes them (4000 x 3000), and the two photographs of
bench/run.sh when the machine has them (Debian's mate-backgrounds), written
to KX here at the default level. Prints the median milliseconds of each way,
on the clock and in CPU time (all threads of the process; steadier while
other work shares the machine), and the ratios of the plug-in's to the
library's. Every way writes into new memory, as a viewer's load does:
RGB is kx_decode into tight RGB rows, RGBA into the 4-byte pixels Pillow
keeps, read+RGBA the same after reading the file as the plug-in does;
Pillow is Image.open(path).load(), generic the same through Pillow's
generic load (KxDecoder: RGB rows, then Pillow's copy into its image).
"""

import ctypes
import mmap
import os
import statistics
import sys
import time
from pathlib import Path

from PIL import Image

import kx
import kx.pillow

PHOTOGRAPHS = [
    "/usr/share/backgrounds/mate/nature/Garden.jpg",
    "/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg",
]
LAYOUT_RGB = 2
LAYOUT_RGBA = 3


def pictures(folder):
    files = [folder / name for name in ("flat.kx", "photo.kx", "art.kx") if (folder / name).exists()]
    for jpeg in map(Path, PHOTOGRAPHS):
        target = folder / (jpeg.stem + ".kx")
        if jpeg.exists() and not target.exists():
            with Image.open(jpeg) as im:
                im.convert("RGB").save(target)
        if target.exists():
            files.append(target)
    return files


def native(lib, data, width, height, layout, pixel_bytes):
    """kx_decode called straight through ctypes, into fresh pages."""
    stride_bytes = width * pixel_bytes
    out = mmap.mmap(-1, stride_bytes * height)
    dst = (ctypes.c_char * len(out)).from_buffer(out)
    result = lib.kx_decode(data, len(data), layout, dst, stride_bytes, len(out), None)
    assert result == 0, result
    del dst
    out.close()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    folder = Path(sys.argv[2] if len(sys.argv) > 2 else "build/bench-pictures")
    files = pictures(folder)
    if not files:
        sys.exit(f"no pictures in {folder}: run build/release/write_pictures {folder}")
    lib = kx.library()
    print(f"libkx {kx.version()}, Pillow {Image.__version__}, {rounds} rounds, load average {os.getloadavg()[0]:.2f}")
    header = f"{'picture':<34} {'ms':>4} {'RGB':>8} {'RGBA':>8} {'read+RGBA':>10} {'Pillow':>8} {'generic':>8}"
    print(header + "   Pillow / RGB, / RGBA, / read+RGBA")
    for path in files:
        data = path.read_bytes()
        info = kx.probe(data)
        width, height = info.width, info.height

        def read_and_decode():
            with open(path, "rb") as fp:
                native(lib, fp.read(info.max_input_bytes), width, height, LAYOUT_RGBA, 4)

        def pillow():
            with Image.open(path) as im:
                im.load()

        def pillow_generic():
            mapped = kx.pillow._map_buffer
            kx.pillow._map_buffer = None
            try:
                pillow()
            finally:
                kx.pillow._map_buffer = mapped

        ways = {
            "RGB": lambda: native(lib, data, width, height, LAYOUT_RGB, 3),
            "RGBA": lambda: native(lib, data, width, height, LAYOUT_RGBA, 4),
            "read+RGBA": read_and_decode,
            "Pillow": pillow,
            "generic": pillow_generic,
        }
        wall = {name: [] for name in ways}
        cpu = {name: [] for name in ways}
        for _ in range(rounds):
            for name, way in ways.items():
                start_wall, start_cpu = time.perf_counter(), time.process_time()
                way()
                wall[name].append(time.perf_counter() - start_wall)
                cpu[name].append(time.process_time() - start_cpu)
        for clock, times in (("wall", wall), ("cpu", cpu)):
            ms = {name: statistics.median(values) * 1000 for name, values in times.items()}
            ratios = ", ".join(f"{ms['Pillow'] / ms[name]:.2f}" for name in ("RGB", "RGBA", "read+RGBA"))
            label = f"{path.name} {width}x{height}" if clock == "wall" else ""
            print(
                f"{label:<34} {clock:>4} {ms['RGB']:8.1f} {ms['RGBA']:8.1f} {ms['read+RGBA']:10.1f}"
                f" {ms['Pillow']:8.1f} {ms['generic']:8.1f}   {ratios}"
            )
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
