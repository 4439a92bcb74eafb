"""ImageFile.Parser fed a KX picture in pieces, against the same picture fed
in one piece, in one process, round by round (the order turning each
round): the work the parser does is to be proportional to the bytes fed,
whatever the piece size.

    KX_LIBRARY=build/release/libkx.so.1 PYTHONPATH=python/src \\
        /usr/bin/python3 python/bench/bench_parser.py [ROUNDS] FILE.kx...

With no file, makes a noisy 5000 x 3750 picture (about 45 MB of KX) in
/tmp. Prints the median seconds of each piece size and its ratio to one
piece; every way's picture is checked against the one-piece picture.
"""

import statistics
import sys
import time
from pathlib import Path

from PIL import Image, ImageFile

import kx.pillow  # noqa: F401  (registers KX)

PIECES = [0, 64 * 1024, 4096]  # 0: the whole file in one feed


def parse(data, piece_bytes):
    parser = ImageFile.Parser()
    step = piece_bytes or len(data)
    view = memoryview(data)
    for start in range(0, len(data), step):
        parser.feed(bytes(view[start : start + step]))
    return parser.close()


def noisy_picture(path):
    if not path.exists():
        size = (5000, 3750)
        bands = [Image.effect_noise(size, 6).point(lambda v, k=k: (v + 40 * k) & 0xFF) for k in range(3)]
        gradient = Image.linear_gradient("L").resize(size)
        bands = [Image.blend(band, gradient, 0.5) for band in bands]
        Image.merge("RGB", bands).save(path)
    return path


def main():
    args = sys.argv[1:]
    rounds = int(args.pop(0)) if args and args[0].isdigit() else 5
    files = [Path(a) for a in args] or [noisy_picture(Path("/tmp/kx-parser-bench-5000x3750.kx"))]
    print(f"{rounds} rounds, median seconds; ratio to one piece")
    for path in files:
        data = path.read_bytes()
        want = parse(data, 0).tobytes()
        for piece_bytes in PIECES[1:]:
            assert parse(data, piece_bytes).tobytes() == want, (path, piece_bytes)
        seconds = {p: [] for p in PIECES}
        for r in range(rounds):
            for k in range(len(PIECES)):
                piece_bytes = PIECES[(k + r) % len(PIECES)]
                start = time.perf_counter()
                parse(data, piece_bytes)
                seconds[piece_bytes].append(time.perf_counter() - start)
        base = statistics.median(seconds[0])
        line = f"{path.name} ({len(data) / 1e6:.1f} MB):"
        for piece_bytes in PIECES:
            t = statistics.median(seconds[piece_bytes])
            name = "one piece" if piece_bytes == 0 else f"{piece_bytes // 1024} KiB"
            line += f"  {name} {t:.3f} s ({t / base:.2f})"
        print(line)


if __name__ == "__main__":
    main()
