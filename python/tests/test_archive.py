"""kx.archive on a LocalCluster of two worker processes on the loopback
address: the outputs are kxconv's bytes, a failure stays with its file,
a second run skips what is done, and verification keeps a wrong output
from appearing."""

import os
import shutil
from pathlib import Path

import pytest
from distributed import Client, LocalCluster

from conftest import GOLDEN_DIR, kxconv
from kx import archive


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster, Client(cluster) as c:
        c.wait_for_workers(2)
        yield c


def leftovers(root):
    return [p for p in Path(root).rglob("*") if p.name.endswith(".part")]


@pytest.fixture
def picture_tree(tmp_path):
    """The golden pictures as BMP, PNG and PPM files in nested folders, and
    a file named .png that is no picture."""
    root = tmp_path / "pictures"
    for k, kx_file in enumerate(sorted(GOLDEN_DIR.glob("*.kx"))):
        folder = root / ("a" if k % 2 else "b/c")
        folder.mkdir(parents=True, exist_ok=True)
        suffix = (".bmp", ".png", ".ppm")[k % 3]
        assert kxconv("decode", kx_file, folder / (kx_file.stem + suffix)).returncode == 0
    (root / "a" / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\nnot really a picture")
    return root


def test_encoding_a_tree_gives_kxconvs_files_and_a_second_run_skips_them(client, picture_tree, tmp_path):
    out = tmp_path / "kx"
    outcomes = archive.convert_tree(client, picture_tree, out, "kx")
    by_status = {s: [o for o in outcomes if o.status == s] for s in (archive.WRITTEN, archive.SKIPPED, archive.FAILED)}
    assert [Path(o.source).name for o in by_status[archive.FAILED]] == ["broken.png"]
    assert not os.path.exists(by_status[archive.FAILED][0].output)
    assert len(by_status[archive.WRITTEN]) == len(list(GOLDEN_DIR.glob("*.kx")))
    for o in by_status[archive.WRITTEN]:
        reference = tmp_path / "reference.kx"
        assert kxconv("encode", "--level", "6", o.source, reference).returncode == 0
        assert Path(o.output).read_bytes() == reference.read_bytes(), o.source
    assert leftovers(out) == []

    # Again: what exists is left alone, the failure is reported again, and
    # an output that went missing is made again.
    removed = by_status[archive.WRITTEN][0].output
    os.remove(removed)
    stamps = {o.output: os.stat(o.output).st_mtime_ns for o in by_status[archive.WRITTEN] if o.output != removed}
    again = archive.convert_tree(client, picture_tree, out, "kx")
    assert sorted((o.output, o.status) for o in again if o.status != archive.SKIPPED) == sorted(
        [(removed, archive.WRITTEN), (by_status[archive.FAILED][0].output, archive.FAILED)]
    )
    assert all(os.stat(path).st_mtime_ns == stamp for path, stamp in stamps.items())


def test_decoding_a_tree_gives_kxconvs_ppm_files(client, tmp_path):
    source = tmp_path / "kx"
    shutil.copytree(GOLDEN_DIR, source, ignore=shutil.ignore_patterns("*.bmp"))
    (source / "not-kx.kx").write_bytes(b"KY" + bytes(30))
    outcomes = archive.convert_tree(client, source, tmp_path / "ppm", "ppm")
    failed = [Path(o.source).name for o in outcomes if o.status == archive.FAILED]
    assert failed == ["not-kx.kx"]
    for o in outcomes:
        if o.status == archive.WRITTEN:
            reference = tmp_path / "reference.ppm"
            assert kxconv("decode", o.source, reference).returncode == 0
            assert Path(o.output).read_bytes() == reference.read_bytes(), o.source
    assert leftovers(tmp_path / "ppm") == []


@pytest.mark.parametrize("to", ["kx", "png"])
def test_an_output_that_does_not_hold_the_picture_never_appears(tmp_path, monkeypatch, to):
    # A writer that gets one byte of the picture wrong: verification finds
    # it, and neither the new file nor a temporary one is left, while the
    # older output stays as it was.
    kx_file = GOLDEN_DIR / "gradient-333x129.kx"
    source = tmp_path / ("in.bmp" if to == "kx" else "in.kx")
    if to == "kx":
        assert kxconv("decode", kx_file, source).returncode == 0
        real = archive.kx.encode
        monkeypatch.setattr(
            archive.kx, "encode", lambda pixels, *a, **k: real(bytes([pixels[0] ^ 1]) + pixels[1:], *a, **k)
        )
    else:
        shutil.copy(kx_file, source)
        real = archive._rgb_of
        monkeypatch.setattr(archive, "_rgb_of", lambda data: (lambda w, h, p: (w, h, p[:-1] + b"\0"))(*real(data)))
    output = tmp_path / ("out." + to)
    output.write_bytes(b"older")
    outcome = archive.convert_file(str(source), str(output), to, skip_existing=False)
    assert outcome.status == archive.FAILED and "VerifyError" in outcome.message
    assert output.read_bytes() == b"older" and leftovers(tmp_path) == []
    # Without verification the same file is written: the check is what caught it.
    assert archive.convert_file(str(source), str(output), to, verify=False, skip_existing=False).status == archive.WRITTEN
