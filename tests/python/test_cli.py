"""The velmora command line, run as a subprocess on real image files, and the
small Python API of the velmora package."""

from __future__ import annotations

import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("PIL", reason="the velmora command line needs Pillow (pip install '.[cli]')")
pytest.importorskip("matplotlib", reason="the velmora command line needs Matplotlib (pip install '.[cli]')")
pytest.importorskip("tqdm", reason="the velmora command line needs tqdm (pip install '.[cli]')")

import velmora  # noqa: E402
import velmora_core  # noqa: E402
from velmora import baselines  # noqa: E402
from cli_support import (  # noqa: E402
    CSV_NAME,
    figure_pixels,
    leftovers,
    png_size,
    read_image,
    read_rows,
    rows_by_path,
    run_velmora,
    start_velmora,
    textured,
    write_image,
)

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A folder of the kinds of file that embed meets, good and bad."""
    root = tmp_path_factory.mktemp("inputs")
    write_image(root / "textured.png", textured(96, 128, seed=1))
    write_image(root / "sub" / "gradient.pgm", textured(64, 64, seed=2))
    write_image(root / "sub" / "deeper" / "scan.tif", textured(80, 72, seed=3))
    colour = np.stack([textured(64, 64, 4), textured(64, 64, 5), textured(64, 64, 6)], axis=-1)
    write_image(root / "colour.png", colour)
    write_image(root / "deep16.png", textured(64, 64, 7).astype(np.uint16) * 257)
    write_image(root / "flat.png", np.full((64, 64), 90, np.uint8))
    (root / "corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"not really a png" * 8)
    return root


GOOD = {"textured.png": "textured.png", "gradient.pgm": "sub/gradient.pgm", "scan.tif": "sub/deeper/scan.tif"}


@pytest.fixture(scope="module")
def embedded(inputs: Path, tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, subprocess.CompletedProcess[str]]:
    out = tmp_path_factory.mktemp("embedded")
    result = run_velmora("embed", inputs, "-o", out, "--payload", "0.05bpp", "--details")
    return out, result


def test_help_for_every_command() -> None:
    for command in ([], ["demo"], ["embed"], ["pool"], ["show"], ["verify"], ["features"]):
        result = run_velmora(*command, "--help")
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("usage: velmora"), result.stdout


def test_embed_folder_records_every_image_and_goes_on_after_failures(inputs: Path, embedded) -> None:
    out, result = embedded
    assert result.returncode == 1, result.stderr  # some images failed
    rows = rows_by_path(out)
    assert len(read_rows(out)) == 7
    assert set(rows) == {*GOOD, "colour.png", "deep16.png", "flat.png", "corrupt.png"}

    for name in GOOD:
        assert rows[name]["status"] == "ok", rows[name]
        assert rows[name]["error"] == ""
    assert "colour" in rows["colour.png"]["error"] and "--gray" in rows["colour.png"]["error"]
    assert "16-bit" in rows["deep16.png"]["error"]
    assert "pool (0" in rows["flat.png"]["error"] and rows["flat.png"]["pool_size"] == "0"
    assert "not an image" in rows["corrupt.png"]["error"]
    for name in ("colour.png", "deep16.png", "flat.png", "corrupt.png"):
        assert rows[name]["status"] == "error"
        assert rows[name]["error"] in result.stderr

    assert "3 embedded, 4 failed" in result.stdout
    assert leftovers(out) == []
    written = sorted(p.relative_to(out).as_posix() for p in out.rglob("*") if p.is_file())
    assert written == sorted([CSV_NAME, *GOOD.values(), *(f"{v}.npz" for v in GOOD.values())])


def test_stego_images_differ_by_one_grey_level_and_match_the_log(inputs: Path, embedded) -> None:
    out, _ = embedded
    rows = rows_by_path(out)
    for name, rel in GOOD.items():
        row = rows[name]
        cover = read_image(Path(row["path"]))
        stego = read_image(out / rel)
        assert stego.shape == cover.shape
        h, w = cover.shape
        assert row["shape"] == f"{h}x{w}"
        diff = stego.astype(int) - cover.astype(int)
        assert np.abs(diff).max() == 1
        bits = round(0.05 * h * w)
        assert int(row["payload_bits"]) == bits
        assert float(row["bits_per_pixel"]) == pytest.approx(bits / (h * w), abs=1e-6)
        assert int(row["pixels_changed"]) == np.count_nonzero(diff) <= bits
        assert float(row["psnr_db"]) == pytest.approx(velmora.psnr(cover, stego), abs=1e-3)
        assert int(row["pool_size"]) == len(velmora_core.get_quadtree_sparse_map(cover))
        assert float(row["elapsed_ms"]) >= 0

        details = np.load(out / f"{rel}.npz")
        assert sorted(details.files) == ["coords_x", "coords_y", "payload"]
        assert details["payload"].size == bits

        check = run_velmora("verify", row["path"], out / rel, "--details", out / f"{rel}.npz")
        assert check.returncode == 0, check.stdout + check.stderr
        assert check.stdout.startswith("OK: ") and check.stdout.count("\n") == 1


def test_verify_reports_tampering(inputs: Path, embedded, tmp_path: Path) -> None:
    out, _ = embedded
    cover_path = inputs / "textured.png"
    cover = read_image(cover_path)
    stego = read_image(out / "textured.png")
    details = np.load(out / "textured.png.npz")
    ys, xs = details["coords_y"], details["coords_x"]
    listed = np.zeros(cover.shape, bool)
    listed[ys, xs] = True
    uy, ux = np.argwhere(~listed)[0]

    far = stego.copy()
    far[uy, ux] = cover[uy, ux] + (2 if cover[uy, ux] < 128 else -2)
    unlisted = stego.copy()
    unlisted[uy, ux] = cover[uy, ux] ^ 1
    wrong_bit = stego.copy()
    wrong_bit[ys[0], xs[0]] ^= 1  # now off by one or two from the cover, carrying the other bit
    if abs(int(wrong_bit[ys[0], xs[0]]) - int(cover[ys[0], xs[0]])) > 1:
        wrong_bit[ys[0], xs[0]] = cover[ys[0], xs[0]]  # unchanged pixel whose bit is wrong
    for name, image, reason in [
        ("far", far, "more than one grey level"),
        ("unlisted", unlisted, "not listed"),
        ("wrong_bit", wrong_bit, "payload bit"),
    ]:
        path = write_image(tmp_path / f"{name}.png", image)
        result = run_velmora("verify", cover_path, path, "--details", out / "textured.png.npz")
        assert result.returncode == 1, result.stdout
        assert result.stdout.startswith("FAIL: ") and reason in result.stdout, result.stdout
        assert result.stdout.count("\n") == 1


def test_gray_converts_colour_input_with_luma(inputs: Path, tmp_path: Path) -> None:
    result = run_velmora("embed", inputs / "colour.png", "-o", tmp_path, "--payload", "200", "--gray")
    assert result.returncode == 0, result.stderr
    assert "ITU-R 601" in result.stderr and "0.299 R + 0.587 G + 0.114 B" in result.stderr
    from PIL import Image

    rgb = np.asarray(Image.open(inputs / "colour.png")).astype(np.int64)
    luma = (299 * rgb[..., 0] + 587 * rgb[..., 1] + 114 * rgb[..., 2] + 500) // 1000
    assert np.array_equal(velmora.load_gray(inputs / "colour.png", gray=True), luma)
    stego = read_image(tmp_path / "colour.png")
    assert np.abs(stego.astype(int) - luma).max() == 1
    assert rows_by_path(tmp_path)["colour.png"]["status"] == "ok"


def test_jobs_and_resume_of_a_finished_run(inputs: Path, tmp_path: Path) -> None:
    good = [inputs / "textured.png", inputs / "sub"]
    result = run_velmora("embed", *good, "-o", tmp_path, "--payload", "300", "--jobs", "2")
    assert result.returncode == 0, result.stderr
    rows = read_rows(tmp_path)
    assert sorted(Path(r["path"]).name for r in rows) == sorted(GOOD)
    assert all(r["status"] == "ok" and r["payload_bits"] == "300" for r in rows)
    # Files named directly land at the top; folders keep their layout.
    assert (tmp_path / "textured.png").is_file()
    assert (tmp_path / "gradient.pgm").is_file() and (tmp_path / "deeper" / "scan.tif").is_file()
    stamps = {p: p.stat().st_mtime_ns for p in tmp_path.rglob("*") if p.is_file()}

    again = run_velmora("embed", *good, "-o", tmp_path, "--payload", "300", "--jobs", "2", "--resume")
    assert again.returncode == 0, again.stderr
    assert "skipping 3" in again.stderr
    assert len(read_rows(tmp_path)) == 3
    for p, stamp in stamps.items():
        if p.name != CSV_NAME:
            assert p.stat().st_mtime_ns == stamp, f"{p} was written again"


def _wait_for_rows(outdir: Path, proc: subprocess.Popen[str], at_least: int, limit: float = 60) -> None:
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        assert proc.poll() is None, "embed ended before it could be interrupted"
        try:
            if len(read_rows(outdir)) >= at_least:
                return
        except FileNotFoundError:
            pass
        time.sleep(0.01)
    pytest.fail("no row appeared in the CSV")


# Slow enough per image (about a third of a second) to interrupt a run midway.
SLOW = ("--colony-size", "1000", "--max-iter", "600", "--payload", "100", "--details")


@pytest.fixture(scope="module")
def twelve(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("twelve")
    for i in range(12):
        write_image(folder / f"img{i:02d}.png", velmora.example_image(128, variant=i))
    return folder


def test_interrupted_run_keeps_finished_rows_and_resumes(twelve: Path, tmp_path: Path) -> None:
    out = tmp_path / "out"
    proc = start_velmora("embed", twelve, "-o", out, "--jobs", "1", *SLOW)
    _wait_for_rows(out, proc, 1)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    assert "--resume" in err

    assert leftovers(out) == []
    rows = read_rows(out)
    assert 1 <= len(rows) < 12
    assert all(r["status"] == "ok" for r in rows)
    finished = {r["output"] for r in rows}
    on_disk = {p.name for p in out.glob("*.png")}
    assert on_disk == finished  # no output without its row, no row without its output
    for name in finished:
        assert read_image(out / name).shape == (128, 128)
    stamps = {name: (out / name).stat().st_mtime_ns for name in finished}

    result = run_velmora("embed", twelve, "-o", out, "--jobs", "1", "--resume", *SLOW)
    assert result.returncode == 0, result.stderr
    assert f"skipping {len(finished)}" in result.stderr
    rows = read_rows(out)
    assert sorted(r["output"] for r in rows) == [f"img{i:02d}.png" for i in range(12)]  # each once
    assert all(r["status"] == "ok" for r in rows)
    for name, stamp in stamps.items():
        assert (out / name).stat().st_mtime_ns == stamp, f"{name} was embedded again"
    assert leftovers(out) == []


def test_sigterm_stops_worker_processes_cleanly(twelve: Path, tmp_path: Path) -> None:
    proc = start_velmora("embed", twelve, "-o", tmp_path, "--jobs", "2", *SLOW)
    _wait_for_rows(tmp_path, proc, 1)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 143, err
    assert leftovers(tmp_path) == []
    rows = read_rows(tmp_path)
    assert 1 <= len(rows) < 12 and all(r["status"] == "ok" for r in rows)
    assert {p.name for p in tmp_path.glob("*.png")} == {r["output"] for r in rows}


def _stego_bytes(outdir: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(outdir.glob("*.png"))}


def _seeds(outdir: Path) -> dict[str, str]:
    return {r["output"]: r["seed"] for r in read_rows(outdir)}


def test_seeded_runs_agree_whatever_jobs_order_and_resume(twelve: Path, tmp_path: Path) -> None:
    seeded = ("--seed", "7", *SLOW)
    one, two, files, resumed = (tmp_path / n for n in ("one", "two", "files", "resumed"))
    for out, jobs in ((one, "1"), (two, "2")):
        result = run_velmora("embed", twelve, "-o", out, "--jobs", jobs, *seeded)
        assert result.returncode == 0, result.stderr
    # The inputs named one by one, in reverse order: their seeds come from their names.
    names = sorted(twelve.glob("*.png"), reverse=True)
    result = run_velmora("embed", *names, "-o", files, "--jobs", "2", *seeded)
    assert result.returncode == 0, result.stderr
    proc = start_velmora("embed", twelve, "-o", resumed, "--jobs", "1", *seeded)
    _wait_for_rows(resumed, proc, 1)
    proc.send_signal(signal.SIGINT)
    proc.communicate(timeout=60)
    assert proc.returncode == 130
    assert 1 <= len(read_rows(resumed)) < 12
    result = run_velmora("embed", twelve, "-o", resumed, "--jobs", "2", "--resume", *seeded)
    assert result.returncode == 0, result.stderr

    expected = _stego_bytes(one)
    assert len(expected) == 12
    expected_seeds = {f"img{i:02d}.png": str(velmora.derive_seed(7, "embed", f"img{i:02d}.png")) for i in range(12)}
    assert _seeds(one) == expected_seeds
    for out in (two, files, resumed):
        assert _stego_bytes(out) == expected, out.name
        assert _seeds(out) == expected_seeds, out.name
        assert sorted(r["output"] for r in read_rows(out)) == sorted(expected_seeds)  # each image once

    # Any one image can be rebuilt from its row.
    row = rows_by_path(one)["img05.png"]
    cover = velmora.load_gray(twelve / "img05.png")
    rebuilt = velmora.embed(cover, int(row["payload_bits"]), seed=int(row["seed"]), colony_size=1000, max_iter=600)
    assert np.array_equal(rebuilt.stego, read_image(one / "img05.png"))
    assert str(rebuilt.changes) == row["pixels_changed"]

    # Resuming under another seed, or none, would mix two data sets.
    for other in (("--seed", "8"), ()):
        result = run_velmora("embed", twelve, "-o", one, "--resume", *other, *SLOW)
        assert result.returncode == 2
        assert "was embedded with seed" in result.stderr and "--seed of the first run" in result.stderr


def test_seed_column_is_empty_without_a_seed_and_seeds_are_checked(inputs: Path, tmp_path: Path) -> None:
    result = run_velmora("embed", inputs / "textured.png", "-o", tmp_path, "--payload", "100")
    assert result.returncode == 0, result.stderr
    assert [r["seed"] for r in read_rows(tmp_path)] == [""]
    for bad in ("-1", "18446744073709551616", "x"):
        result = run_velmora("embed", inputs / "textured.png", "-o", tmp_path, "--payload", "100", "--seed", bad)
        assert result.returncode == 2 and "--seed" in result.stderr
    result = run_velmora("embed", inputs / "textured.png", "-o", tmp_path / "max", "--payload", "100",
                         "--seed", str(2**64 - 1))
    assert result.returncode == 0, result.stderr


def test_demo_with_a_seed_is_reproducible(tmp_path: Path) -> None:
    for name in ("a", "b"):
        result = run_velmora("demo", "-o", tmp_path / name, "--size", "96", "--seed", "11")
        assert result.returncode == 0, result.stderr
        assert "seed 11" in result.stdout
    assert (tmp_path / "a" / "stego.png").read_bytes() == (tmp_path / "b" / "stego.png").read_bytes()
    cover = velmora.example_image(96)
    bits = round(0.1 * 96 * 96)
    assert np.array_equal(read_image(tmp_path / "a" / "stego.png"), velmora.embed(cover, bits, seed=11).stego)


def test_jpeg_input_gives_png_and_jpeg_output_is_refused(inputs: Path, tmp_path: Path) -> None:
    photo = write_image(tmp_path / "in" / "photo.jpg", textured(64, 64, seed=8), quality=95)
    result = run_velmora("embed", photo, "-o", tmp_path / "out", "--payload", "100")
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted([CSV_NAME, "photo.png"])

    refused = run_velmora("embed", photo, "-o", tmp_path / "jpeg", "--payload", "100", "--format", "jpeg")
    assert refused.returncode == 2
    assert "JPEG" in refused.stderr and "least significant bits" in refused.stderr
    assert not (tmp_path / "jpeg").exists()
    with pytest.raises(ValueError, match="JPEG"):
        velmora.save_lossless(tmp_path / "x.jpg", np.zeros((4, 4), np.uint8))
    assert not (tmp_path / "x.jpg").exists()


def test_output_over_an_input_is_refused(inputs: Path, tmp_path: Path) -> None:
    folder = tmp_path / "pics"
    original = write_image(folder / "a.png", textured(64, 64, seed=9)).read_bytes()
    for args in (["embed", folder, "-o", folder], ["embed", "a.png", "-o", "."]):
        result = run_velmora(*args, "--payload", "50", cwd=folder)
        assert result.returncode == 2, result.stderr
        assert "refusing to overwrite the input" in result.stderr
    assert (folder / "a.png").read_bytes() == original
    assert sorted(p.name for p in folder.iterdir()) == ["a.png"]


def test_usage_errors() -> None:
    for args, message in [
        (["--payload", "0"], "at least 1 bit"),
        (["--payload", "lots"], "bits per pixel"),
        (["--payload", "2bpp"], "at most 1 bit per pixel"),
    ]:
        result = run_velmora("embed", "missing.png", "-o", "out", *args)
        assert result.returncode == 2 and message in result.stderr, result.stderr
    result = run_velmora("embed", "missing.png", "-o", "out", "--payload", "10")
    assert result.returncode == 2 and "no such file or folder" in result.stderr


def test_demo_writes_images_and_figures(tmp_path: Path) -> None:
    out = tmp_path / "demo"
    result = run_velmora("demo", "-o", out, "--size", "64")
    assert result.returncode == 0, result.stderr
    for label in ("pool size", "payload", "bits per pixel", "elapsed", "pixels changed", "PSNR"):
        assert label in result.stdout
    assert "410 bits" in result.stdout  # round(0.1 * 64 * 64)
    cover, stego = read_image(out / "cover.png"), read_image(out / "stego.png")
    assert np.array_equal(cover, velmora.example_image(64))
    assert np.abs(stego.astype(int) - cover).max() == 1
    assert png_size(out / "pool.png") == figure_pixels(64, 64, panels=1, zoom=4)
    assert png_size(out / "embedding.png") == figure_pixels(64, 64, panels=3, zoom=4)
    check = run_velmora("verify", out / "cover.png", out / "stego.png", "--details", out / "stego.png.npz")
    assert check.returncode == 0 and check.stdout.startswith("OK: "), check.stdout


def test_installed_script_draws_the_pool(inputs: Path, tmp_path: Path) -> None:
    script = Path(sys.executable).with_name("velmora")
    if not script.exists():
        pytest.skip(f"no installed velmora script beside {sys.executable}")
    result = subprocess.run(
        [script, "pool", inputs / "textured.png", "-o", tmp_path / "pool.png", "--zoom", "1"],
        capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "pool of" in result.stdout
    assert png_size(tmp_path / "pool.png") == figure_pixels(96, 128, panels=1, zoom=1)
    assert leftovers(tmp_path) == []


def test_show_draws_three_panels(inputs: Path, embedded, tmp_path: Path) -> None:
    out, _ = embedded
    result = run_velmora(
        "show", inputs / "textured.png", out / "textured.png", "--details", out / "textured.png.npz",
        "-o", tmp_path / "show.png",
    )
    assert result.returncode == 0, result.stderr
    assert png_size(tmp_path / "show.png") == figure_pixels(96, 128, panels=3, zoom=2)
    from PIL import Image

    with Image.open(tmp_path / "show.png") as im:
        im.verify()
    assert leftovers(tmp_path) == []


def test_api_reads_refuses_and_measures(inputs: Path, tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="colour"):
        velmora.load_gray(inputs / "colour.png")
    with pytest.raises(ValueError, match="16-bit"):
        velmora.load_gray(inputs / "deep16.png", gray=True)
    image = velmora.load_gray(inputs / "textured.png")
    assert image.dtype == np.uint8 and image.shape == (96, 128)
    assert velmora.psnr(image, image) == float("inf")
    changed = image.copy()
    changed[0, 0] ^= 1
    assert velmora.psnr(image, changed) == pytest.approx(10 * np.log10(255**2 * image.size))
    velmora.save_lossless(tmp_path / "copy.tif", image)
    assert np.array_equal(velmora.load_gray(tmp_path / "copy.tif"), image)
    assert leftovers(tmp_path) == []

    scene = velmora.example_image(128)
    assert np.array_equal(scene, velmora.example_image(128))
    share = len(velmora_core.get_quadtree_sparse_map(scene)) / scene.size
    assert 0.2 < share < 0.8  # the quadtree keeps some blocks and drops others

    fig = velmora.plot_embedding(image, changed, [0], [0])
    assert len(fig.axes) == 3
    ax = velmora.plot_pool(image, velmora_core.get_quadtree_sparse_map(image))
    assert ax.figure is not None


def test_import_needs_no_plotting_or_imaging_library() -> None:
    code = (
        "import sys, velmora, velmora.cli; "
        "print(sorted(m for m in ('PIL', 'matplotlib', 'tqdm') if m in sys.modules))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize("method", ["hill", "mipod"])
def test_baseline_data_sets_are_reproducible_and_resumable(twelve: Path, tmp_path: Path, method: str) -> None:
    args = ("--payload", "0.3bpp", "--method", method, "--seed", "9", "--details")
    one, two, part = tmp_path / "one", tmp_path / "two", tmp_path / "part"
    for out, jobs in ((one, "1"), (two, "2")):
        result = run_velmora("embed", twelve, "-o", out, "--jobs", jobs, *args)
        assert result.returncode == 0, result.stderr
    expected = _stego_bytes(one)
    assert len(expected) == 12 and _stego_bytes(two) == expected
    rows = rows_by_path(one)
    assert {r["method"] for r in rows.values()} == {method} and all(r["pool_size"] == "" for r in rows.values())

    # Half the images first, then all of them with --resume: the first half
    # is not embedded again, and the result is the one-shot run's.
    names = sorted(twelve.glob("*.png"))
    result = run_velmora("embed", *names[:6], "-o", part, "--jobs", "2", *args)
    assert result.returncode == 0, result.stderr
    stamps = {p.name: p.stat().st_mtime_ns for p in part.glob("*.png")}
    result = run_velmora("embed", *names, "-o", part, "--jobs", "2", "--resume", *args)
    assert result.returncode == 0, result.stderr
    assert "skipping 6" in result.stderr
    assert _stego_bytes(part) == expected
    assert all((part / n).stat().st_mtime_ns == t for n, t in stamps.items())
    assert sorted(r["output"] for r in read_rows(part)) == sorted(expected)

    # An image rebuilt from its row; its details list exactly its changes.
    row = rows["img03.png"]
    cover = velmora.load_gray(twelve / "img03.png")
    rebuilt = baselines.simulate(cover, 0.3, method, seed=int(row["seed"]))
    assert np.array_equal(rebuilt, read_image(one / "img03.png"))
    assert int(row["seed"]) == velmora.derive_seed(9, "embed", "img03.png") >> (32 if method == "mipod" else 0)
    check = run_velmora("verify", twelve / "img03.png", one / "img03.png", "--details", one / "img03.png.npz")
    assert check.returncode == 0 and check.stdout.startswith("OK:"), check.stdout
    assert check.stdout.split()[1] == row["pixels_changed"]

    # Another method, or velmora's own options, are refused.
    result = run_velmora("embed", twelve, "-o", one, "--resume", *args[:2], "--method", "wow", "--seed", "9")
    assert result.returncode == 2 and f"--method {method}" in result.stderr
    result = run_velmora("embed", twelve, "-o", tmp_path / "x", *args, "--max-iter", "3")
    assert result.returncode == 2 and "velmora's" in result.stderr


def test_ablation_data_sets_carry_their_bits_and_rebuild_from_their_rows(twelve: Path, tmp_path: Path) -> None:
    out = tmp_path / "greedy"
    result = run_velmora("embed", twelve, "-o", out, "--payload", "0.1bpp", "--method", "velmora-random",
                         "--seed", "3", "--details", "--jobs", "2", "--min-block", "8")
    assert result.returncode == 0, result.stderr
    row = rows_by_path(out)["img05.png"]
    assert row["method"] == "velmora-random" and int(row["pool_size"]) > int(row["payload_bits"])
    cover = velmora.load_gray(twelve / "img05.png")
    again = velmora.ablations.embed(cover, int(row["payload_bits"]), "velmora-random", seed=int(row["seed"]),
                                    min_block=8)
    assert np.array_equal(again.stego, read_image(out / "img05.png"))
    check = run_velmora("verify", twelve / "img05.png", out / "img05.png", "--details", out / "img05.png.npz")
    assert check.returncode == 0 and check.stdout.startswith("OK:"), check.stdout
    result = run_velmora("embed", twelve, "-o", tmp_path / "x", "--payload", "0.1bpp", "--method",
                         "velmora-greedy", "--colony-size", "5")
    assert result.returncode == 2 and "do not apply to --method velmora-greedy" in result.stderr
