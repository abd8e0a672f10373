"""velmora evaluate: detectability against baseline methods, on crops of real
photographs. The runs need the eval extra (threadpoolctl beside the cli
extra's libraries); the checks of settings, of the scoring and of a missing
extra run everywhere."""

from __future__ import annotations

import csv
import json
import math
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("PIL", reason="velmora evaluate reads images with Pillow")

import velmora  # noqa: E402
from cli_support import run_velmora, start_velmora, write_image  # noqa: E402
from photos import ALL, photograph  # noqa: E402
from velmora.evaluation.covers import find_covers, split_sources  # noqa: E402
from velmora.evaluation.scoring import decision_errors, separability_bound  # noqa: E402
from velmora.evaluation.settings import EvalSettings  # noqa: E402

HAVE_EVAL = __import__("importlib").util.find_spec("threadpoolctl") is not None
needs_eval = pytest.mark.skipif(not HAVE_EVAL, reason="needs the eval extra: pip install '.[eval]'")

# Small and quick: 64x64 crops, the rich model, a small ensemble.
FAST = ("--crop", "64", "--crops-per-image", "12", "--features", "srm", "--learners", "60", "--subspace", "200")
# Enough to detect: 128x128 crops (of the eight photographs that large).
DETECTABLE = ("--crop", "128", "--crops-per-image", "12", "--features", "srm", "--learners", "60",
              "--subspace", "200")
LARGE = ("astronaut", "camera", "chelsea", "coffee", "coins", "immunohistochemistry", "moon", "rocket")
CROPS = 12


def read_csv(path: Path) -> list[dict[str, str]]:
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def without_seconds(rows: list[dict[str, str]]) -> list[dict[str, str]]:
    return [{k: v for k, v in r.items() if k != "seconds"} for r in rows]


def halved(name: str) -> np.ndarray:
    """A photograph reduced to half its size by averaging 2x2 blocks, as
    steganalysis data sets reduce theirs (BOSSbase's covers are downsampled):
    it brings the noise of these photographs, several of them decoded from
    JPEG, down to that of the covers such experiments use."""
    a = photograph(name).astype(np.float64)
    h, w = a.shape[0] // 2 * 2, a.shape[1] // 2 * 2
    return np.round(a[:h, :w].reshape(h // 2, 2, w // 2, 2).mean(axis=(1, 3))).astype(np.uint8)


@pytest.fixture(scope="module")
def covers(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The photographs that scikit-image ships, halved, as PNG files: ten source images."""
    folder = tmp_path_factory.mktemp("covers")
    for name in ALL:
        write_image(folder / f"{name}.png", halved(name))
    return folder


# ---------------------------------------------------------------------------
# Pieces that need no extra
# ---------------------------------------------------------------------------


def test_scores_of_decisions_and_the_separability_bound():
    # Decisions: one of four covers called stego, two of four stego images missed.
    assert decision_errors(np.array([0, 1, 0, 0]), np.array([1, 0, 0, 1])) == (0.375, 0.25, 0.5)
    # A detector that is always wrong errs on every image: P_E 1, where the
    # bound, re-calibrated on the test half, can never exceed 0.5.
    assert decision_errors(np.ones(5), np.zeros(5))[0] == 1.0
    assert separability_bound(np.array([2.0, 3.0]), np.array([0.0, 1.0])) == 0.5
    assert separability_bound(np.array([0.0, 1.0]), np.array([2.0, 3.0])) == 0.0
    # One cover above one stego: at the best threshold P_FA 1/4, P_MD 0.
    assert separability_bound(np.array([0.0, 0.1, 0.2, 0.9]), np.array([0.5, 0.6, 0.7, 0.8])) == 0.125
    rng = np.random.default_rng(1)
    c, s = rng.normal(0, 1, 300), rng.normal(1, 1, 200)
    brute = min(((c >= t).mean() + (s < t).mean()) / 2 for t in np.r_[c, s, np.inf])
    assert separability_bound(c, s) == brute


def test_splits_put_every_source_on_one_side():
    sources = [f"dir/img{i}.png" for i in range(11)]
    seen = set()
    for i in range(20):
        train, test = split_sources(reversed(sources), i, seed=3)
        assert not train & test and train | test == set(sources)
        assert len(train) == 5 and len(test) == 6
        assert (train, test) == split_sources(sources, i, seed=3)  # the input order does not matter
        seen.add(train)
    assert len(seen) > 10
    assert split_sources(sources, 0, seed=4) != split_sources(sources, 0, seed=3)


def test_crops_are_seeded_distinct_and_remember_their_source(covers: Path):
    s = EvalSettings(crop=64, crops_per_image=5, seed=9)
    found = find_covers([str(covers)], s)
    assert found.sources == len(ALL) and len(found.covers) == 5 * len(ALL)
    assert [c.id for c in found.covers] == [c.id for c in find_covers([str(covers)], s).covers]
    other = find_covers([str(covers)], EvalSettings(crop=64, crops_per_image=5, seed=10))
    assert [c.id for c in found.covers] != [c.id for c in other.covers]
    for name in ALL:
        mine = [c for c in found.covers if c.rel == f"{name}.png"]
        assert len({c.crop for c in mine}) == 5
        for c in mine:
            y, x, n = c.crop
            assert np.array_equal(c.read(), halved(name)[y : y + n, x : x + n])
    big = find_covers([str(covers)], EvalSettings(crop=200))
    assert {c.rel for c in big.covers} == {"astronaut.png", "coffee.png", "moon.png", "camera.png",
                                         "immunohistochemistry.png", "rocket.png"}
    assert len(big.too_small) == len(ALL) - 6


@pytest.mark.parametrize(
    "args, message",
    [
        (("--methods", "velmora,f5"), "unknown method(s) f5"),
        (("--features", "dctr"), "unknown feature set 'dctr'"),
        (("--payload", "0.1,1.5"), "outside (0, 1]"),
        (("--payload", "x"), "expected bits per pixel"),
        (("--subspace", "0"), "must be at least 1"),
        (("--features", "spam", "--crop", "3"), "at least 4x4"),
        (("--figure", "gif"), "figure format 'gif'"),
        (("--learners", "0"), "must be at least 1"),
        (("--features", "srm,maxsrm,srm"), "a feature set is named twice"),
        (("--features", "srm,dctr"), "unknown feature set 'dctr'"),
        (("--channel", "best"), "unknown model 'best' of velmora's selection"),
        (("--channel-runs", "0"), "must be at least 1"),
    ],
)
def test_settings_that_cannot_run_are_refused(covers: Path, tmp_path: Path, args, message):
    result = run_velmora("evaluate", covers, "-o", tmp_path / "r", *args)
    assert result.returncode == 2
    assert message in result.stderr
    assert not (tmp_path / "r").exists()


def test_a_missing_extra_is_named(covers: Path, tmp_path: Path):
    # Hide the extra's libraries from the interpreter, installed or not.
    hidden = ("threadpoolctl",)
    script = (
        "import sys, importlib.abc\n"
        "class Hide(importlib.abc.MetaPathFinder):\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        f"        if name.split('.')[0] in {hidden!r}:\n"
        "            raise ModuleNotFoundError(name)\n"
        "sys.meta_path.insert(0, Hide())\n"
        "import importlib.util\n"
        "_find = importlib.util.find_spec\n"
        f"importlib.util.find_spec = lambda n, *a: None if n in {hidden!r} else _find(n, *a)\n"
        "from velmora.cli import main\n"
        "sys.exit(main(sys.argv[1:]))\n"
    )
    done = subprocess.run([sys.executable, "-c", script, "evaluate", str(covers), "-o", str(tmp_path / "r")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert "threadpoolctl" in done.stderr and "conseal" not in done.stderr
    assert "pip install 'velmora-core[eval]'" in done.stderr


def test_no_command_imports_pytorch_and_only_evaluate_the_field_s_libraries():
    code = (
        "import sys, velmora, velmora.cli, velmora.evaluation.run, velmora.ensemble, velmora.features\n"
        "heavy = [m for m in ('sealwatch', 'conseal', 'scipy', 'torch', 'numba', 'distributed')\n"
        "         if m in sys.modules]\n"
        "print(heavy)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@needs_eval
def test_the_eval_extra_brings_no_pytorch_nor_the_reference_libraries():
    for name in ("torch", "conseal", "sealwatch"):
        assert __import__("importlib").util.find_spec(name) is None, name


@needs_eval
def test_a_recorded_run_gives_the_same_results(covers: Path, tmp_path: Path):
    # tests/data/evaluate-small-run.csv: this command's results.csv as the
    # evaluation gave it with conseal's own simulators (conseal 2025.11,
    # SciPy 1.17), before the baselines became velmora's.
    result = run_velmora("evaluate", covers, "-o", tmp_path / "r", "--crop", "64", "--crops-per-image", "3",
                         "--payload", "0.1,0.4", "--methods", "velmora,lsbm,hill,suniward,wow,mipod,none",
                         "--features", "spam", "--splits", "4", "--learners", "20", "--subspace", "200",
                         "--jobs", "2", timeout=600)
    assert result.returncode == 0, result.stderr
    recorded = read_csv(Path(__file__).parent.parent / "data" / "evaluate-small-run.csv")
    rows = read_csv(tmp_path / "r" / "results.csv")
    # The columns added since are velmora's selection gain alone.
    assert set(rows[0]) - set(recorded[0]) == {"selection_gain"}
    assert [r["selection_gain"] != "" for r in rows] == [r["method"] == "velmora" for r in rows]
    assert without_seconds([{k: r[k] for k in recorded[0]} for r in rows]) == without_seconds(recorded)


# ---------------------------------------------------------------------------
# Runs
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def detectable(covers: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """LSB matching at 1 bit per pixel and at payloads nothing can detect,
    and the unchanged cover, over ten splits."""
    out = tmp_path_factory.mktemp("detectable")
    result = run_velmora("evaluate", covers, "-o", out, "--payload", "0.001,0.01,1", "--methods", "lsbm,none",
                         "--splits", "10", "--seed", "5", "--jobs", "2", *DETECTABLE, timeout=900)
    assert result.returncode == 0, result.stderr
    return out


@needs_eval
def test_lsbm_at_one_bit_per_pixel_is_detected_and_what_nothing_can_detect_scores_chance(detectable: Path):
    rows = {(r["method"], r["payload_bpp"]): r for r in read_csv(detectable / "results.csv")}
    assert list(read_csv(detectable / "results.csv")[0]) == [
        "method", "payload_bpp", "features", "pairs", "left_out", "test_pairs", "change_rate", "psnr_db",
        "selection_gain", "pe_mean", "pe_std", "p_fa_mean", "p_md_mean", "splits", "seconds",
    ]
    strong = rows[("lsbm", "1")]
    # Clearly detected: two standard deviations below chance.
    assert float(strong["pe_mean"]) + 2 * float(strong["pe_std"]) < 0.5
    assert 0.4 < float(strong["change_rate"]) < 0.6
    # The detector's own decisions on unseen images: where there is nothing
    # to find, splits fall on both sides of chance (a threshold chosen on the
    # test half could never give more than 0.5), and their mean is chance
    # within their spread.
    splits = [r for r in read_csv(detectable / "results-splits.csv")
              if r["method"] == "lsbm" and r["payload_bpp"] in ("0.001", "0.01")]
    assert len(splits) == 20
    assert any(float(r["pe"]) > 0.5 for r in splits)
    for payload in ("0.001", "0.01"):
        faint = rows[("lsbm", payload)]
        assert abs(float(faint["pe_mean"]) - 0.5) <= float(faint["pe_std"])
    for r in splits:
        assert float(r["pe"]) == pytest.approx((float(r["p_fa"]) + float(r["p_md"])) / 2, abs=1e-6)
        assert float(r["separability_bound"]) <= 0.5
        assert int(r["train_pairs"]) + int(r["test_pairs"]) == CROPS * len(LARGE)
    # Identical features: a pair's two images get one decision, right for one of them.
    for payload in ("0.001", "0.01", "1"):
        control = rows[("none", payload)]
        assert float(control["pe_mean"]) == 0.5
        assert control["change_rate"] == "0.000000" and control["psnr_db"] == "inf"
    # velmora is not among the methods: no cover is left out.
    assert all(r["pairs"] == str(CROPS * len(LARGE)) and r["left_out"] == "0" for r in rows.values())
    for name in ("report.md", "pe.png", "splits.csv"):
        assert (detectable / name).stat().st_size > 0
    report = (detectable / "report.md").read_text()
    assert "--seed 5" in report and "60 base learners, 200 subspace dimensions" in report
    assert "features: srm (34671 dimensions), velmora's native extractor velmora-native-1" in report
    assert f"| lsbm | 1 | srm | {CROPS * len(LARGE)} | {float(strong['test_pairs']):.1f} | 0 |" in report
    # The run's features are matrices in the layout of velmora features.
    tables = sorted((detectable / "cache" / "features").iterdir())
    assert len(tables) == 1 + 2 * 3
    for table in tables:
        m = velmora.features.load(table)
        assert m.kind == "srm" and m.features.shape == (CROPS * len(LARGE), 34671)


@needs_eval
def test_no_source_image_is_on_both_sides_of_a_split(detectable: Path):
    rows = read_csv(detectable / "splits.csv")
    assert {r["split"] for r in rows} == {str(i) for i in range(1, 11)}
    for split in map(str, range(1, 11)):
        sides = {}
        for r in rows:
            if r["split"] == split:
                assert r["source"] not in sides
                sides[r["source"]] = r["side"]
        assert set(sides) == {f"{n}.png" for n in LARGE}
        assert sorted(sides.values()).count("train") == len(LARGE) // 2


@needs_eval
def test_the_same_seed_reproduces_results_and_more_methods_reuse_the_cache(covers: Path, detectable: Path,
                                                                         tmp_path: Path):
    again = tmp_path / "again"
    result = run_velmora("evaluate", covers, "-o", again, "--payload", "0.001,0.01,1", "--methods", "lsbm,none",
                         "--splits", "10", "--seed", "5", "--jobs", "1", *DETECTABLE, timeout=900)
    assert result.returncode == 0, result.stderr
    assert without_seconds(read_csv(again / "results.csv")) == without_seconds(read_csv(detectable / "results.csv"))
    assert (again / "splits.csv").read_bytes() == (detectable / "splits.csv").read_bytes()

    # A second run into the same folder with one more method computes only that method.
    index = again / "cache" / "index.jsonl"
    before = index.read_text().splitlines()
    result = run_velmora("evaluate", covers, "-o", again, "--payload", "0.001,0.01,1", "--methods", "lsbm,none,hill",
                         "--splits", "10", "--seed", "5", "--jobs", "2", *DETECTABLE, timeout=900)
    assert result.returncode == 0, result.stderr
    added = index.read_text().splitlines()[len(before):]
    assert len(added) == 3 * CROPS * len(LARGE) + 3 * 10  # hill's stego images at three payloads, and its detectors
    assert all('"kind":"cover"' not in line.replace(" ", "") for line in added)
    rows = read_csv(again / "results.csv")
    assert [r["method"] for r in rows] == ["lsbm"] * 3 + ["none"] * 3 + ["hill"] * 3
    assert without_seconds(rows[:6]) == without_seconds(read_csv(detectable / "results.csv"))


@needs_eval
def test_covers_that_velmora_cannot_take_are_left_out_for_every_method(covers: Path, tmp_path: Path):
    out = tmp_path / "left"
    result = run_velmora("evaluate", covers, "-o", out, "--payload", "0.3", "--methods", "velmora,lsbm",
                         "--splits", "2", "--seed", "2", *FAST, timeout=600)
    assert result.returncode == 0, result.stderr
    found = find_covers([str(covers)], EvalSettings(crop=64, crops_per_image=CROPS, seed=2))
    bits = round(0.3 * 64 * 64)
    expected = sum(1 for c in found.covers if velmora.capacity(c.read()) < bits)
    assert 0 < expected < len(found.covers)
    rows = read_csv(out / "results.csv")
    assert [r["left_out"] for r in rows] == [str(expected)] * 2
    assert [r["pairs"] for r in rows] == [str(len(found.covers) - expected)] * 2
    assert f"0.3 bpp: {expected} too small a pool, 0 failed" in (out / "report.md").read_text()
    velmora_row = rows[0]
    assert math.isclose(float(velmora_row["change_rate"]), bits / (64 * 64) / 2, rel_tol=0.1)


@needs_eval
def test_blind_and_informed_detectors_share_covers_splits_and_stego_images(covers: Path, tmp_path: Path):
    out = tmp_path / "informed"
    common = ("evaluate", covers, "-o", out, "--payload", "0.2", "--splits", "3", "--seed", "4", "--crop", "64",
              "--crops-per-image", "4", "--learners", "20", "--subspace", "200", "--jobs", "2")
    methods = ("--methods", "velmora,velmora-random,velmora-greedy,lsbm,none")
    result = run_velmora(*common, *methods, "--features", "srm", timeout=600)
    assert result.returncode == 0, result.stderr
    blind = read_csv(out / "results.csv")
    index = out / "cache" / "index.jsonl"
    before = len(index.read_text().splitlines())
    # Adding the informed set embeds nothing again: only its rows and detectors are new.
    result = run_velmora(*common, *methods, "--features", "srm,maxsrm", timeout=900)
    assert result.returncode == 0, result.stderr
    added = [json.loads(line) for line in index.read_text().splitlines()[before:]]
    assert {r["kind"] for r in added} == {"stego", "cover-informed", "train"}
    rows = read_csv(out / "results.csv")
    assert [(r["features"], r["method"]) for r in rows] == [
        (f, m) for f in ("srm", "maxsrm") for m in methods[1].split(",")]
    assert without_seconds(rows[:5]) == without_seconds(blind)
    by = {(r["features"], r["method"]): r for r in rows}
    pairs = by[("srm", "velmora")]["pairs"]
    assert all(r["pairs"] == pairs for r in rows)
    # The ablations are the controls of the selection gain.
    gain = {m: float(by[("srm", m)]["selection_gain"]) for m in ("velmora", "velmora-random", "velmora-greedy")}
    assert abs(gain["velmora-random"]) < 0.1 and gain["velmora-greedy"] == 1.0
    assert gain["velmora-random"] < gain["velmora"] < 1.0
    assert by[("maxsrm", "lsbm")]["selection_gain"] == ""
    # With nothing changed, the informed detector's maps are zero: no feature, chance.
    assert by[("maxsrm", "none")]["pe_mean"] == "0.500000"
    splits = read_csv(out / "results-splits.csv")
    assert {r["features"] for r in splits} == {"srm", "maxsrm"}
    report = (out / "report.md").read_text()
    assert "## Blind and informed detectors" in report and "| P_E srm | P_E maxsrm | maxsrm - srm |" in report
    assert "features: srm (34671 dimensions), maxsrm (34671 dimensions)" in report


@needs_eval
def test_the_informed_set_alone_keeps_each_cover_s_pool_and_rows_per_method(covers: Path, tmp_path: Path):
    out = tmp_path / "alone"
    result = run_velmora("evaluate", covers, "-o", out, "--payload", "0.2,0.4", "--methods", "velmora,hill,none",
                         "--features", "maxsrm", "--splits", "2", "--crop", "64", "--crops-per-image", "3",
                         "--learners", "10", "--subspace", "100", timeout=600)
    assert result.returncode == 0, result.stderr
    rows = read_csv(out / "results.csv")
    assert {r["features"] for r in rows} == {"maxsrm"} and len(rows) == 6
    records = [json.loads(line) for line in (out / "cache" / "index.jsonl").read_text().splitlines()]
    covers_found = len(find_covers([str(covers)], EvalSettings(crop=64, crops_per_image=3)).covers)
    # Each cover's pool size is kept without a blind row; its informed rows
    # are one per method and payload that compares it.
    info = [r for r in records if r["kind"] == "cover"]
    assert len(info) == covers_found and not any("table" in r for r in info)
    informed = [r for r in records if r["kind"] == "cover-informed"]
    assert len(informed) == sum(3 * int(r["pairs"]) for r in rows if r["method"] == "velmora")
    left = {r["payload_bpp"]: r["left_out"] for r in rows}
    assert int(left["0.4"]) > 0 and all(r["left_out"] == left[r["payload_bpp"]] for r in rows)


@needs_eval
def test_a_worker_s_informed_rows_are_those_of_the_attacker_s_own_maps(tmp_path: Path):
    # The worker takes a baseline's cover maps from the costs it computed
    # once for embedding; they must be what velmora.selection estimates.
    from velmora.evaluation.covers import Cover
    from velmora.evaluation.tasks import StegoRequest, stego_task

    image = np.ascontiguousarray(photograph("astronaut")[200:264, 180:260])
    write_image(tmp_path / "a.png", image)
    settings = EvalSettings()
    for method in ("hill", "mipod", "velmora", "velmora-greedy", "none"):
        request = StegoRequest(0.3, 77, ("srm", "maxsrm"), ("maxsrm",))
        (done,) = stego_task(Cover(str(tmp_path / "a.png"), "a.png"), method, [request], settings.engine,
                             settings.channel_options(method))
        assert "error" not in done, done
        stego = (velmora.simulate(image, 0.3, seed=77) if method == "velmora" else
                 velmora.ablations.simulate(image, 0.3, method, seed=77) if method == "velmora-greedy" else
                 image if method == "none" else
                 velmora.baselines.simulate(image, 0.3, method, seed=77 >> (32 if method == "mipod" else 0)))
        options = settings.channel_options(method)
        for img, row in ((image, done["cover_rows"]["maxsrm"]), (stego, done["rows"]["maxsrm"])):
            beta = velmora.selection.estimate(img, 0.3, method, **options)
            assert np.array_equal(row, velmora.features.extract(img, "maxsrm", beta=beta).astype(np.float32)), method
        assert np.array_equal(done["rows"]["srm"], velmora.features.extract(stego, "srm").astype(np.float32))
        assert (done["selection_gain"] is None) == (not method.startswith("velmora"))


@needs_eval
def test_resume_after_an_interruption_gives_the_uninterrupted_result(covers: Path, tmp_path: Path):
    slow = ("--features", "srmq1", "--crop", "64", "--crops-per-image", "2", "--learners", "20",
            "--subspace", "200", "--payload", "0.2,0.4", "--methods", "lsbm,hill,none", "--splits", "2",
            "--seed", "8")
    whole = tmp_path / "whole"
    result = run_velmora("evaluate", covers, "-o", whole, "--jobs", "2", *slow, timeout=900)
    assert result.returncode == 0, result.stderr

    cut = tmp_path / "cut"
    proc = start_velmora("evaluate", covers, "-o", cut, "--jobs", "2", *slow)
    index = cut / "cache" / "index.jsonl"
    deadline = time.monotonic() + 300
    while not (index.exists() and len(index.read_text().splitlines()) >= 6):
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == 130, err
    assert "run the same command again" in err
    assert not (cut / "results.csv").exists()
    done_before = len(index.read_text().splitlines())
    assert done_before < len((whole / "cache" / "index.jsonl").read_text().splitlines())

    result = run_velmora("evaluate", covers, "-o", cut, "--jobs", "2", "--resume", *slow, timeout=900)
    assert result.returncode == 0, result.stderr
    assert without_seconds(read_csv(cut / "results.csv")) == without_seconds(read_csv(whole / "results.csv"))
    keys = [line.split('"key":')[1][:44] for line in index.read_text().splitlines()]
    assert len(keys) == len(set(keys))  # nothing was computed twice


def test_resume_needs_an_earlier_run_and_covers_must_split(covers: Path, tmp_path: Path):
    result = run_velmora("evaluate", covers, "-o", tmp_path / "new", "--resume")
    assert result.returncode == 2 and "holds no earlier run" in result.stderr
    if not HAVE_EVAL:
        return
    few = tmp_path / "few"
    for name in ALL[:3]:
        write_image(few / f"{name}.png", halved(name))
    result = run_velmora("evaluate", few, "-o", tmp_path / "r", "--methods", "lsbm")
    assert result.returncode == 2
    assert "at least 4 source images" in result.stderr and "3 image(s) found, 3 can be used" in result.stderr
    result = run_velmora("evaluate", covers, "-o", tmp_path / "r", "--crop", "300", "--methods", "lsbm")
    assert result.returncode == 2 and "smaller than --crop 300" in result.stderr


def _unusable_images(folder: Path) -> dict[str, str]:
    """Five images evaluate cannot use, and what its message says of each."""
    from PIL import Image

    (folder / "empty.png").write_bytes(b"")
    (folder / "truncated.png").write_bytes(_png_bytes(photograph("camera"))[:3000])
    Image.fromarray((np.arange(64 * 64, dtype=np.uint16).reshape(64, 64) * 7)).save(folder / "deep.png")
    Image.fromarray(np.zeros((64, 64, 3), np.uint8)).save(folder / "colour.png")
    Image.fromarray(np.zeros((5, 5), np.uint8)).save(folder / "tiny.png")
    return {"empty.png": "not an image file", "truncated.png": "truncated", "deep.png": "16-bit",
            "colour.png": "colour image", "tiny.png": "5x5 is too small for srm features"}


def _png_bytes(image: np.ndarray) -> bytes:
    import io

    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(image).save(buffer, format="PNG")
    return buffer.getvalue()


@needs_eval
def test_unusable_covers_are_named_and_make_the_exit_code_1(covers: Path, tmp_path: Path):
    # One usable image among five that are not: an error before any work.
    few = tmp_path / "few"
    few.mkdir()
    write_image(few / "camera.png", halved("camera"))
    expected = _unusable_images(few)
    result = run_velmora("evaluate", few, "-o", tmp_path / "r1", *FAST[4:])  # whole images, no crop
    assert result.returncode == 2, result.stderr
    assert "of the 6 image(s) found, 1 can be used" in result.stderr
    for name, why in expected.items():
        assert f"{name}: " in result.stderr and why in result.stderr, name
    assert not (tmp_path / "r1").exists()
    # Beside enough usable ones, the run goes on, names each, and exits 1.
    mixed = tmp_path / "mixed"
    mixed.mkdir()
    for path in covers.glob("*.png"):
        (mixed / path.name).write_bytes(path.read_bytes())
    _unusable_images(mixed)
    result = run_velmora("evaluate", mixed, "-o", tmp_path / "r2", "--methods", "lsbm,none", "--payload", "0.4",
                         "--splits", "2", *FAST[4:], timeout=600)
    assert result.returncode == 1, result.stderr
    for name, why in expected.items():
        assert f"{name}: left out: " in result.stderr and why in result.stderr, name
    report = (tmp_path / "r2" / "report.md").read_text()
    assert all(f"unusable: {name}" in report for name in expected)
