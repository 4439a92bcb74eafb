"""Converting a tree of pictures to or from KX on many machines, with Dask.

    from distributed import Client
    from kx.archive import convert_tree
    outcomes = convert_tree(Client("tcp://scheduler:8786"), "photos", "photos-kx", to="kx")

Each picture is one task, and each task stands alone:

- the output is written to a temporary file beside its final name and
  renamed into place only when complete (and, with verify, decoded again
  and found to hold the picture's pixels): an output that exists is whole;
- an output that exists is skipped (skip_existing), so a run that was
  stopped, or that failed for some files, is simply run again;
- a failure is reported for its file (Outcome.status "failed" and why) and
  the others go on, on this worker and on the rest.

Encoding reads PNG, BMP and PPM through Pillow (alpha dropped, as kxconv
drops it) and writes, for 8-bit pictures, exactly the bytes of
`kxconv encode --level N`.
Decoding writes PPM exactly as `kxconv decode` writes it, or PNG through
Pillow (the same pixels; Pillow's compression, not libpng's).

    python3 -m kx.archive SOURCE OUTPUT --to kx|ppm|png [--scheduler ADDRESS | --workers N]
"""

import io
import os
import sys
import tempfile
from typing import NamedTuple

import kx

ENCODE_SUFFIXES = (".png", ".bmp", ".ppm")
TARGETS = ("kx", "ppm", "png")

WRITTEN = "written"
SKIPPED = "skipped"
FAILED = "failed"

# The permissions a new file gets from this process's umask, as kxconv's
# outputs do; read once, at import, while nothing else runs.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


class Outcome(NamedTuple):
    source: str
    output: str
    status: str  # WRITTEN, SKIPPED or FAILED
    message: str


class VerifyError(OSError):
    """The output, read back and decoded, does not hold the picture."""


def plan(source_root, output_root, to):
    """[(source, output)] for every picture under source_root that converts
    to `to`, the tree's shape kept, in a stable order."""
    if to not in TARGETS:
        raise ValueError(f"to must be one of {TARGETS}, not {to!r}")
    wanted = ENCODE_SUFFIXES if to == "kx" else (".kx",)
    jobs = []
    for folder, subfolders, names in os.walk(source_root):
        subfolders.sort()
        for name in sorted(names):
            stem, suffix = os.path.splitext(name)
            if suffix.lower() not in wanted or name.startswith("."):
                continue
            relative = os.path.relpath(os.path.join(folder, stem), source_root)
            jobs.append((os.path.join(folder, name), os.path.join(output_root, relative + "." + to)))
    return jobs


def _rgb_of(data):
    """(width, height, RGB bytes) of a PNG, BMP or PPM file."""
    from PIL import Image

    with Image.open(io.BytesIO(data)) as im:
        rgb = im.convert("RGB")
        return rgb.width, rgb.height, rgb.tobytes()


def _write_whole(output, data, check):
    """Writes data to a temporary file beside output and renames it into
    place once it is on disk and check(bytes read back) passes; otherwise
    removes it, and any older output stays as it was."""
    folder = os.path.dirname(output) or "."
    os.makedirs(folder, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(output) + ".", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
            os.fchmod(f.fileno(), 0o666 & ~_UMASK)
        if check is not None:
            with open(temp, "rb") as f:
                check(f.read())
        os.replace(temp, output)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def convert_file(source, output, to, level=kx.DEFAULT_LEVEL, verify=True, skip_existing=True):
    """Converts one picture; never raises for what happens to that file."""
    try:
        if skip_existing and os.path.exists(output):
            return Outcome(source, output, SKIPPED, "")
        with open(source, "rb") as f:
            data = f.read()
        if to == "kx":
            width, height, pixels = _rgb_of(data)
            encoded = kx.encode(pixels, width, height, "RGB", level=level, threads=1)

            def check(written):
                picture = kx.decode(written, "RGB")
                if not picture.complete or (picture.width, picture.height) != (width, height):
                    raise VerifyError("the KX file written does not decode completely")
                if bytes(picture.pixels) != pixels:
                    raise VerifyError("the KX file written decodes to other pixels")

        else:
            info = kx.probe(data)
            if info.recognition != 0:
                raise kx.KxError(info.recognition, "not recognised as a KX picture")
            picture = kx.decode(data, "RGB")
            width, height, pixels = picture.width, picture.height, bytes(picture.pixels)
            if to == "ppm":
                encoded = b"P6\n%d %d\n255\n" % (width, height) + pixels
            else:
                from PIL import Image

                buffer = io.BytesIO()
                Image.frombytes("RGB", (width, height), pixels).save(buffer, "PNG")
                encoded = buffer.getvalue()

            def check(written):
                if _rgb_of(written) != (width, height, pixels):
                    raise VerifyError(f"the {to.upper()} file written holds other pixels")

        _write_whole(output, encoded, check if verify else None)
        return Outcome(source, output, WRITTEN, "" if to == "kx" or picture.complete else "stream ended early")
    except Exception as error:  # reported for this file; the others go on
        return Outcome(source, output, FAILED, f"{type(error).__name__}: {error}")


def convert_tree(client, source_root, output_root, to, level=kx.DEFAULT_LEVEL, verify=True, skip_existing=True,
                 on_outcome=None):
    """Converts every picture under source_root on the client's workers;
    returns one Outcome per picture, in plan() order. on_outcome(outcome)
    is called as each one arrives. A task lost with its worker is reported
    as failed for its file."""
    from distributed import as_completed

    jobs = plan(source_root, output_root, to)
    futures = client.map(
        convert_file,
        [source for source, _ in jobs],
        [output for _, output in jobs],
        to=to,
        level=level,
        verify=verify,
        skip_existing=skip_existing,
        pure=False,
    )
    index = {future.key: k for k, future in enumerate(futures)}
    outcomes = [None] * len(jobs)
    for future in as_completed(futures):
        k = index[future.key]
        try:
            outcome = future.result()
        except Exception as error:
            outcome = Outcome(jobs[k][0], jobs[k][1], FAILED, f"{type(error).__name__}: {error}")
        outcomes[k] = outcome
        if on_outcome is not None:
            on_outcome(outcome)
    return outcomes


def main(argv=None):
    import argparse

    parser = argparse.ArgumentParser(prog="python3 -m kx.archive", description=__doc__.split("\n\n")[0])
    parser.add_argument("source")
    parser.add_argument("output")
    parser.add_argument("--to", choices=TARGETS, required=True)
    parser.add_argument("--level", type=int, default=kx.DEFAULT_LEVEL)
    parser.add_argument("--no-verify", action="store_true", help="do not decode each output again")
    parser.add_argument("--overwrite", action="store_true", help="convert again what exists")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    args = parser.parse_args(argv)

    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address=None)
        client = Client(cluster)

    def report(outcome):
        if outcome.status == FAILED:
            print(f"{outcome.source}: {outcome.message}", file=sys.stderr)

    with client:
        outcomes = convert_tree(client, args.source, args.output, args.to, level=args.level,
                                verify=not args.no_verify, skip_existing=not args.overwrite, on_outcome=report)
    counts = {status: sum(o.status == status for o in outcomes) for status in (WRITTEN, SKIPPED, FAILED)}
    print(f"{counts[WRITTEN]} written, {counts[SKIPPED]} skipped, {counts[FAILED]} failed")
    return 1 if counts[FAILED] else 0


if __name__ == "__main__":
    sys.exit(main())
