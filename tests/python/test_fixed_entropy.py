"""The embedding pipelines with their entropy pinned down.

run_velmora_engine and embed_with_details seed their generator from the C
library's getrandom().  fixed_entropy.c replaces that function (via
LD_PRELOAD, in a child interpreter) with one that returns bytes taken from
the FIXED_ENTROPY_HEX environment variable.  With the seed fixed, every result
of a pipeline is determined, and can be compared between runs, between the
two pipelines and against the step-by-step model in colony_model.py.
"""

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import velmora_core
from colony_model import ZERO_SEED_STATE, Rng, embed

SHIM_SOURCE = Path(__file__).with_name("fixed_entropy.c")
ENTROPY_VAR = "FIXED_ENTROPY_HEX"

ZERO = "00" * 32
# The same generator state, spelled out as little-endian entropy bytes.
FIXED_STATE = b"".join(w.to_bytes(8, "little") for w in ZERO_SEED_STATE).hex()


def some_entropy(n, seed):
    rnd = random.Random(seed)
    return [rnd.getrandbits(256).to_bytes(32, "little").hex() for _ in range(n)]


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    if not sys.platform.startswith("linux"):
        pytest.skip("the getrandom() replacement needs Linux and LD_PRELOAD")
    compiler = next((c for c in ("cc", "gcc", "clang") if shutil.which(c)), None)
    if compiler is None:
        pytest.skip("no C compiler (cc, gcc or clang) found to build the getrandom() replacement")
    out = tmp_path_factory.mktemp("entropy") / "fixed_entropy.so"
    # The compiler runs without what this process may have preloaded (a
    # sanitizer runtime would report the compiler's own allocations).
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    built = subprocess.run(
        [compiler, "-shared", "-fPIC", "-O2", "-o", str(out), str(SHIM_SOURCE)],
        capture_output=True,
        text=True,
        env=env,
    )

    if built.returncode != 0:
        pytest.skip(f"could not build the getrandom() replacement: {built.stderr.strip()}")
    return out


# The child: runs a list of jobs, each with its own entropy, and saves the results.
_CHILD = textwrap.dedent(
    """
    import ctypes, json, os, sys
    import numpy as np
    import velmora_core

    def wide(img):
        big = np.zeros((img.shape[0], 2 * img.shape[1]), dtype=np.uint8)
        big[:, ::2] = img
        return big[:, ::2]

    LAYOUTS = {
        "c": lambda img: img,
        "fortran": np.asfortranarray,
        "reversed": lambda img: np.ascontiguousarray(img[::-1, ::-1])[::-1, ::-1],
        "sliced": wide,
        "transposed": lambda img: np.ascontiguousarray(img.T).T,
    }

    job_list = json.load(sys.stdin)
    image = np.load(sys.argv[1])
    saved = {}
    for i, job in enumerate(job_list):
        os.environ["%(var)s"] = job["entropy"]
        if job["func"] == "getrandom":
            buf = ctypes.create_string_buffer(job["args"][0])
            got = ctypes.CDLL(None).getrandom(buf, job["args"][0], 0)
            saved[f"{i}_bytes"] = np.frombuffer(buf.raw, dtype=np.uint8)
            saved[f"{i}_k"] = np.array(got)
            continue
        img = LAYOUTS[job.get("layout", "c")](image)
        result = getattr(velmora_core, job["func"])(img, *job["args"], **job.get("kwargs", {}))
        saved[f"{i}_stego"] = np.ascontiguousarray(result[0])
        saved[f"{i}_k"] = np.array(result[2])
        if len(result) == 6:
            saved[f"{i}_ys"], saved[f"{i}_xs"], saved[f"{i}_bits"] = result[3:]
    np.savez(sys.argv[2], **saved)
    """
    % {"var": ENTROPY_VAR}
)

KEYS = ("stego", "k", "ys", "xs", "bits", "bytes")


def run_jobs(shim, tmp_path, image, jobs):
    """Run the jobs in one child interpreter; one dict of arrays per job."""
    image_path = tmp_path / "image.npy"
    out_path = tmp_path / "out.npz"
    np.save(image_path, image)
    env = dict(os.environ)
    # Keep whatever is preloaded already (a sanitizer runtime must come first).
    env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))

    env.pop(ENTROPY_VAR, None)
    done = subprocess.run(
        [sys.executable, "-c", _CHILD, str(image_path), str(out_path)],
        input=json.dumps(jobs),
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    with np.load(out_path) as data:
        results = [{key: data[f"{i}_{key}"] for key in KEYS if f"{i}_{key}" in data} for i in range(len(jobs))]
    out_path.unlink()
    return results


def job(entropy, func="embed_with_details", args=(40,), **extra):
    return {"entropy": entropy, "func": func, "args": list(args), **extra}


def same(a, b):
    return a.keys() == b.keys() and all(np.array_equal(a[k], b[k]) for k in a)


def sample_image():
    rng = np.random.default_rng(17)
    img = rng.integers(0, 256, size=(24, 24), dtype=np.uint8)
    img[img < 30] = 0
    img[img > 225] = 255
    img[:12, 12:] = 90  # a smooth quadrant the pool leaves out
    return img


def model_result(image, entropy, payload, colony_size=30, max_iter=50, min_block=4):
    pool = velmora_core.get_quadtree_sparse_map(image, min_block)
    stego, ys, xs, bits = embed(image, pool, payload, colony_size, max_iter, Rng.from_bytes(bytes.fromhex(entropy)))
    return {"stego": stego, "k": np.array(len(pool)), "ys": ys, "xs": xs, "bits": bits}


# ---------------------------------------------------------------------------


def test_replacement_getrandom_returns_the_configured_bytes(shim, tmp_path):
    hexes = ["0123456789abcdef" * 4, ZERO, "a5"]
    results = run_jobs(shim, tmp_path, sample_image(), [job(h, "getrandom", (48,)) for h in hexes])
    for h, result in zip(hexes, results):
        raw = bytes.fromhex(h)
        assert int(result["k"]) == 48
        assert result["bytes"].tobytes() == (raw * 48)[:48]


def test_same_bytes_give_identical_results_in_every_run(shim, tmp_path):
    img = sample_image()
    entropy = some_entropy(1, 1)[0]
    jobs = [job(entropy) for _ in range(3)] + [job(entropy, "run_velmora_engine")] * 2
    first = run_jobs(shim, tmp_path, img, jobs)
    second = run_jobs(shim, tmp_path, img, jobs[:1] + jobs[3:4])
    for other in first[1:3] + second[:1]:
        assert same(other, first[0])
    for other in first[4:] + second[1:]:
        assert same(other, first[3])
    assert not np.array_equal(first[0]["stego"], img)


def test_different_bytes_generally_give_different_results(shim, tmp_path):
    img = sample_image()
    results = run_jobs(shim, tmp_path, img, [job(e, args=(60,)) for e in some_entropy(5, 2)])
    assert len({r["stego"].tobytes() for r in results}) >= 4
    assert len({r["ys"].tobytes() + r["xs"].tobytes() for r in results}) >= 4
    assert len({r["bits"].tobytes() for r in results}) >= 4
    assert len({int(r["k"]) for r in results}) == 1


def test_all_zero_bytes_are_replaced_by_the_fixed_state(shim, tmp_path):
    img = sample_image()
    zero, spelled_out = run_jobs(shim, tmp_path, img, [job(ZERO), job(FIXED_STATE)])
    assert same(zero, spelled_out)
    assert same(zero, model_result(img, ZERO, 40))


MODEL_CASES = [
    # (payload_size, colony_size, max_iter, min_block)
    (40, 30, 50, 4),
    (1, 30, 50, 4),
    (150, 30, 50, 4),
    (25, 0, 7, 4),
    (25, 3, 12, 2),
    (60, 31, 20, 6),
    (20, 8, 0, 4),
]


@pytest.mark.parametrize("entropy", [ZERO, FIXED_STATE] + some_entropy(2, 3), ids=["zero", "fixed", "a", "b"])
def test_whole_pipeline_matches_the_model(shim, tmp_path, entropy):
    img = sample_image()
    jobs = [job(entropy, args=case) for case in MODEL_CASES]
    for case, result in zip(MODEL_CASES, run_jobs(shim, tmp_path, img, jobs)):
        expected = model_result(img, entropy, *case)
        for key in expected:
            assert np.array_equal(result[key], expected[key]), (case, key)


def test_both_pipelines_consume_the_same_draws(shim, tmp_path):
    img = sample_image()
    jobs = []
    for entropy in [ZERO] + some_entropy(3, 4):
        for args in ((40,), (150, 10, 20), (1, 2, 3, 2)):
            jobs += [job(entropy, "run_velmora_engine", args), job(entropy, "embed_with_details", args)]
    results = run_jobs(shim, tmp_path, img, jobs)
    for primary, detailed in zip(results[::2], results[1::2]):
        assert np.array_equal(primary["stego"], detailed["stego"])
        assert int(primary["k"]) == int(detailed["k"])


def test_defaults_are_colony_30_fifty_iterations_and_blocks_of_4(shim, tmp_path):
    img = sample_image()
    entropy = some_entropy(1, 5)[0]
    jobs = [
        job(entropy, args=(40,)),
        job(entropy, args=(40, 30, 50, 4)),
        job(entropy, args=(), kwargs={"payload_size": 40, "min_block": 4}),
        job(entropy, "run_velmora_engine", (40,)),
        job(entropy, "run_velmora_engine", (), kwargs={"payload_size": 40, "max_iter": 50, "colony_size": 30}),
    ]
    results = run_jobs(shim, tmp_path, img, jobs)
    for other in results[1:3]:
        assert same(other, results[0])
    assert same(results[4], results[3])
    assert np.array_equal(results[3]["stego"], results[0]["stego"])


@pytest.mark.parametrize("func", ["embed_with_details", "run_velmora_engine"])
def test_memory_layout_of_the_input_does_not_change_the_result(shim, tmp_path, func):
    img = sample_image()
    entropy = some_entropy(1, 6)[0]
    layouts = ["c", "fortran", "reversed", "sliced", "transposed"]
    results = run_jobs(shim, tmp_path, img, [job(entropy, func, (60,), layout=layout) for layout in layouts])
    for layout, result in zip(layouts[1:], results[1:]):
        assert same(result, results[0]), layout
