"""velmora.features and ``velmora features``: the features of a collection of
images as one matrix, the same whatever --jobs or interruptions."""

from __future__ import annotations

import json
import os
import re
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

pytest.importorskip("PIL", reason="the velmora command line needs Pillow (pip install '.[cli]')")
pytest.importorskip("tqdm", reason="the velmora command line needs tqdm (pip install '.[cli]')")

import velmora  # noqa: E402
from cli_support import leftovers, run_velmora, textured, write_image  # noqa: E402
from velmora import features  # noqa: E402

# Found by the folder search in another order (files before subfolders) than
# the rows' sorted order.
GOOD = ("a/deep/x.pgm", "a/y.png", "b.png", "c.tif", "m/n.png")
REFUSED = {"colour.png": "--gray", "thin.png": "at least 4x4", "corrupt.png": "not an image"}


@pytest.fixture(scope="module")
def collection(tmp_path_factory: pytest.TempPathFactory) -> Path:
    root = tmp_path_factory.mktemp("collection")
    for i, rel in enumerate(GOOD):
        write_image(root / rel, textured(24 + 3 * i, 40 - 2 * i, seed=i))
    write_image(root / "colour.png", np.stack([textured(20, 20, s) for s in (7, 8, 9)], axis=-1))
    write_image(root / "thin.png", textured(3, 50, seed=10))
    (root / "corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\n" + b"truncated" * 4)
    return root


def _files(out: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


@pytest.fixture(scope="module")
def whole(collection: Path, tmp_path_factory: pytest.TempPathFactory) -> dict[str, bytes]:
    """The files of an uninterrupted run with --jobs 1, checked against --jobs 2."""
    outputs = []
    for jobs in ("1", "2"):
        out = tmp_path_factory.mktemp(f"jobs{jobs}")
        result = run_velmora("features", collection, "-o", out, "--features", "spam", "--jobs", jobs)
        assert result.returncode == 1, result.stderr  # some images were refused
        for name, reason in REFUSED.items():
            line = next(line for line in result.stderr.splitlines() if name in line)
            assert reason in line, result.stderr
        assert "8 image(s): 5 extracted, 3 skipped" in result.stdout
        assert leftovers(out) == []
        outputs.append(_files(out))
    assert outputs[0] == outputs[1]
    assert sorted(outputs[0]) == ["features.npy", "index.json"]
    return outputs[0]


def test_rows_are_the_images_features_in_sorted_order(collection: Path, whole: dict[str, bytes],
                                                      tmp_path: Path) -> None:
    for name, data in whole.items():
        (tmp_path / name).write_bytes(data)
    loaded = features.load(tmp_path)
    assert loaded.kind == "spam"
    assert loaded.paths == sorted(GOOD)
    assert loaded.submodels == features.submodels("spam") == [("straight", 343), ("diagonal", 343)]
    assert isinstance(loaded.features, np.memmap) and loaded.features.dtype == np.float32
    for row, rel in zip(loaded.features, loaded.paths):
        expected = features.extract(velmora.load_gray(collection / rel), "spam").astype(np.float32)
        assert np.array_equal(row, expected), rel
    index = json.loads(whole["index.json"])
    assert index["skipped"].keys() == REFUSED.keys()
    assert np.array_equal(features.load(tmp_path / "features.npy").features, loaded.features)


def test_interrupted_runs_resume_to_the_same_files(collection: Path, whole: dict[str, bytes],
                                                   tmp_path: Path) -> None:
    out = tmp_path / "out"
    args = ("features", collection, "-o", out, "--features", "spam")
    stopped = run_velmora(*args, env={"VELMORA_TEST_STOP_AFTER": "2:SIGINT"})
    assert stopped.returncode == 130, stopped.stderr
    assert "--resume" in stopped.stderr
    with pytest.raises(ValueError, match="has not finished"):
        features.load(out)
    slots = [json.loads(line)["slot"] for line in (out / "progress.jsonl").read_text().splitlines()]
    assert 2 <= len(slots) < 8 and len(set(slots)) == len(slots)

    # Worker processes, stopped by SIGTERM this time.
    stopped = run_velmora(*args, "--resume", "--jobs", "2", env={"VELMORA_TEST_STOP_AFTER": "1:SIGTERM"})
    assert stopped.returncode == 143, stopped.stderr
    slots = [json.loads(line)["slot"] for line in (out / "progress.jsonl").read_text().splitlines()]
    assert len(set(slots)) == len(slots) < 8

    result = run_velmora(*args, "--resume", "--jobs", "2")
    assert result.returncode == 1, result.stderr
    counts = re.search(r"(\d+) extracted, (\d+) skipped, (\d+) done before", result.stdout)
    assert counts is not None, result.stdout
    assert int(counts[1]) + int(counts[2]) == 8 - len(slots) and int(counts[3]) == len(slots)  # none twice
    assert _files(out) == whole
    again = run_velmora(*args, "--resume")
    assert again.returncode == 1 and "nothing to resume" in again.stderr
    assert _files(out) == whole


def test_resume_with_other_settings_is_refused(collection: Path, tmp_path: Path) -> None:
    out = tmp_path / "out"
    args = ("-o", out, "--features", "spam", "--resume")
    stopped = run_velmora("features", collection, *args, env={"VELMORA_TEST_STOP_AFTER": "3:SIGINT"})
    assert stopped.returncode == 130, stopped.stderr
    before = _files(out)
    other_folder = tmp_path / "copy"
    other_folder.mkdir()
    (other_folder / "b.png").write_bytes((collection / "b.png").read_bytes())
    for inputs, more, message in [
        ((collection,), ("--features", "srmq1"), "holds spam features, but this run asks for srmq1"),
        ((collection,), ("--gray",), "written without --gray"),
        ((collection / "a",), (), "was written from"),
        ((other_folder,), (), "was written from"),
    ]:
        result = run_velmora("features", *inputs, *args, *more)
        assert result.returncode == 2, result.stderr
        assert message in result.stderr and "choose another output folder" in result.stderr
        assert _files(out) == before

    done = [json.loads(line) for line in (out / "progress.jsonl").read_text().splitlines()]
    changed = collection / next(r["path"] for r in done if r["status"] == "ok")
    stamp = changed.stat()
    try:
        os.utime(changed, ns=(stamp.st_atime_ns, stamp.st_mtime_ns + 10**9))
        result = run_velmora("features", collection, *args)
        assert result.returncode == 2 and "changed since its features were extracted" in result.stderr
    finally:
        os.utime(changed, ns=(stamp.st_atime_ns, stamp.st_mtime_ns))
    assert _files(out) == before


def test_gray_conversion_and_the_rich_model_size_limit(collection: Path, tmp_path: Path) -> None:
    small = write_image(tmp_path / "in" / "small.png", textured(6, 30, seed=11))
    result = run_velmora("features", collection / "colour.png", small, "-o", tmp_path / "out",
                         "--features", "srm", "--gray")
    assert result.returncode == 1, result.stderr
    assert "srm features need an image of at least 8x8 pixels, got 6x30" in result.stderr
    assert "converted a colour image" in result.stderr
    loaded = features.load(tmp_path / "out")
    assert loaded.paths == ["colour.png"] and loaded.features.shape == (1, 34671)
    gray = velmora.load_gray(collection / "colour.png", gray=True)
    assert np.array_equal(loaded.features[0], features.extract(gray, "srm").astype(np.float32))
    assert sum(d for _n, d in loaded.submodels) == 34671 and len(loaded.submodels) == 106


def test_feature_sets_describe_their_vectors() -> None:
    image = textured(16, 16, seed=12)
    for kind, dim, side in (("spam", 686, 4), ("srmq1", 12753, 8), ("srm", 34671, 8)):
        parts = features.submodels(kind)
        assert features.dimension(kind) == sum(d for _n, d in parts) == dim
        assert len({n for n, _d in parts}) == len(parts)
        assert features.min_side(kind) == side
        vector = features.extract(image, kind)
        assert vector.shape == (dim,) and vector.dtype == np.float64
        with pytest.raises(ValueError, match=f"at least {side}x{side} pixels, got {side - 1}x20"):
            features.extract(image[: side - 1].repeat(2, axis=1)[:, :20], kind)
    srmq1 = dict(features.submodels("srmq1"))
    assert srmq1 == {n: d for n, d in features.submodels("srm") if n.endswith("_q1")}
    with pytest.raises(ValueError, match="unknown feature set 'dctr': choose spam, srmq1, srm or maxsrm"):
        features.extract(image, "dctr")
    for bad in (image.astype(np.int16), image[None], image.tolist()):
        with pytest.raises(TypeError, match="argument 'image'"):
            features.extract(bad, "spam")  # type: ignore[arg-type]


@given(
    hnp.arrays(np.uint8, hnp.array_shapes(min_dims=2, max_dims=2, min_side=17, max_side=28)),
    st.sampled_from([np.s_[:, :], np.s_[::-1, :], np.s_[:, ::2], np.s_[1:-1, ::-1]]),
    st.booleans(),
    st.sampled_from(["spam", "srmq1"]),
)
def test_any_layout_gives_the_features_of_its_pixels(image: np.ndarray, view: tuple[slice, slice],
                                                     transpose: bool, kind: str) -> None:
    arranged = image[view].T if transpose else image[view]
    arranged.flags.writeable = False
    copy = image.copy()
    vector = features.extract(arranged, kind)
    assert np.array_equal(vector, features.extract(np.ascontiguousarray(arranged), kind))
    assert np.array_equal(image, copy)
    assert np.isfinite(vector).all()
    if kind == "spam":  # each half averages co-occurrence histograms, each normalised to 1
        assert np.isclose(vector[:343].sum(), 1.0) and np.isclose(vector[343:].sum(), 1.0)


def test_maxsrm_rows_weigh_each_image_with_the_map_estimated_from_it(tmp_path: Path) -> None:
    images = {f"{i}.png": textured(36 + 4 * i, 40, seed=30 + i) for i in range(3)}
    for name, image in images.items():
        write_image(tmp_path / "in" / name, image)
    out = tmp_path / "out"
    args = ("features", tmp_path / "in", "-o", out, "--features", "maxsrm")
    result = run_velmora(*args, "--channel", "hill", "--payload", "0.4", "--jobs", "2")
    assert result.returncode == 0, result.stderr
    loaded = features.load(out)
    assert loaded.kind == "maxsrm" and loaded.paths == sorted(images)
    for row, name in zip(loaded.features, loaded.paths):
        beta = velmora.selection.estimate(images[name], 0.4, "hill")
        assert np.array_equal(row, features.extract(images[name], "maxsrm", beta=beta).astype(np.float32))
    refusals = [
        ((), "maxsrm features need --channel METHOD and --payload ALPHA"),
        (("--channel", "hill"), "--channel METHOD and --payload ALPHA go together"),
        (("--channel", "f5", "--payload", "0.1"), "unknown method 'f5' for --channel"),
        (("--channel", "velmora", "--payload", "1.2"), r"--payload 1.2 is outside \(0, 1\]"),
        (("--channel", "wow", "--payload", "0.4", "--resume"), "holds features of the change probabilities"),
    ]
    for extra, message in refusals:
        result = run_velmora(*args, *extra)
        assert result.returncode == 2 and re.search(message, result.stderr), (extra, result.stderr)
    result = run_velmora("features", tmp_path / "in", "-o", tmp_path / "srm", "--features", "srm",
                         "--channel", "hill", "--payload", "0.4")
    assert result.returncode == 2 and "not srm" in result.stderr
