"""velmora embed, features and evaluate on a Dask cluster: a LocalCluster, and a
scheduler with worker processes that the tests start and stop themselves,
all on 127.0.0.1. Seeded runs must write what a local run writes, whatever
happens to the workers."""

from __future__ import annotations

import json
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="needs the cluster extra: pip install '.[cluster]'")
pytest.importorskip("PIL", reason="the velmora command line needs Pillow")

import velmora  # noqa: E402
from cli_support import leftovers, read_rows, run_velmora, start_velmora, write_image  # noqa: E402

# About 30 ms per image: long enough to act in the middle of a run.
SLOW = ("--payload", "0.05bpp", "--colony-size", "300", "--max-iter", "300", "--seed", "7")


@pytest.fixture(scope="module")
def images(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("images")
    for i in range(300):
        write_image(folder / f"set{i % 3}" / f"img{i:03d}.png", velmora.example_image(64, variant=i))
    return folder


@pytest.fixture(scope="module")
def local_run(images: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("local")
    result = run_velmora("embed", images, "-o", out, "--jobs", "2", *SLOW, timeout=600)
    assert result.returncode == 0, result.stderr
    return out


def outputs(folder: Path) -> dict[str, bytes]:
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*.png"))}


def rows_without_times(folder: Path) -> list[tuple[str, ...]]:
    return sorted(tuple(v for k, v in r.items() if k != "elapsed_ms") for r in read_rows(folder))


def assert_same_as(local: Path, out: Path) -> None:
    assert outputs(out) == outputs(local)
    assert rows_without_times(out) == rows_without_times(local)
    assert len(read_rows(out)) == 300  # every image exactly once
    assert leftovers(out) == []


class Cluster:
    """A dask scheduler and worker processes on 127.0.0.1."""

    def __init__(self, folder: Path, workers: int = 2) -> None:
        self.file = folder / "scheduler.json"
        env = {**os.environ, "DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED": "False"}
        self.scheduler = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
             "--no-dashboard", "--scheduler-file", str(self.file)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
        )
        deadline = time.monotonic() + 60
        while not self.file.exists() or not self.file.read_text().strip():
            assert time.monotonic() < deadline and self.scheduler.poll() is None, "the scheduler did not start"
            time.sleep(0.05)
        time.sleep(0.1)
        self.address = json.loads(self.file.read_text())["address"]
        self.workers = [
            subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file", str(self.file),
                 "--nthreads", "1", "--no-nanny", "--no-dashboard", "--host", "127.0.0.1"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
            )
            for _ in range(workers)
        ]
        from distributed import Client

        with Client(self.address, timeout=30) as client:
            client.wait_for_workers(workers, timeout=60)

    def stop(self) -> None:
        for p in [*self.workers, self.scheduler]:
            if p.poll() is None:
                p.terminate()
        for p in [*self.workers, self.scheduler]:
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


@pytest.fixture
def cluster(tmp_path: Path):
    c = Cluster(tmp_path)
    try:
        yield c
    finally:
        c.stop()


def wait_for_rows(out: Path, proc: subprocess.Popen[str], at_least: int) -> None:
    deadline = time.monotonic() + 120
    while True:
        assert proc.poll() is None, proc.communicate()
        try:
            if len(read_rows(out)) >= at_least:
                return
        except FileNotFoundError:
            pass
        assert time.monotonic() < deadline, "no rows appeared"
        time.sleep(0.02)


def test_a_local_cluster_writes_what_the_local_pool_writes(images: Path, local_run: Path, tmp_path: Path):
    result = run_velmora("embed", images, "-o", tmp_path, "--cluster", "local:2", *SLOW, timeout=600)
    assert result.returncode == 0, result.stderr
    assert "Dask dashboard at http://127.0.0.1:" in result.stderr
    assert_same_as(local_run, tmp_path)


def test_a_worker_killed_midway_loses_nothing(images: Path, local_run: Path, cluster: Cluster, tmp_path: Path):
    proc = start_velmora("embed", images, "-o", tmp_path, "--cluster", cluster.address, *SLOW)
    wait_for_rows(tmp_path, proc, 60)
    cluster.workers[0].send_signal(signal.SIGKILL)
    _, err = proc.communicate(timeout=600)
    assert proc.returncode == 0, err
    assert cluster.workers[0].poll() is not None
    assert all(r["status"] == "ok" for r in read_rows(tmp_path))
    assert_same_as(local_run, tmp_path)


def test_ctrl_c_keeps_what_finished_and_resume_goes_on(images: Path, local_run: Path, cluster: Cluster,
                                                      tmp_path: Path):
    proc = start_velmora("embed", images, "-o", tmp_path, "--cluster", cluster.address, *SLOW)
    wait_for_rows(tmp_path, proc, 30)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    assert "--resume" in err
    rows = read_rows(tmp_path)
    assert 30 <= len(rows) < 300
    assert {r["output"] for r in rows} == set(outputs(tmp_path))  # no output without its row
    assert leftovers(tmp_path) == []
    result = run_velmora("embed", images, "-o", tmp_path, "--cluster", cluster.address, "--resume", *SLOW,
                         timeout=600)
    assert result.returncode == 0, result.stderr
    assert f"skipping {len(rows)}" in result.stderr
    assert_same_as(local_run, tmp_path)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def test_an_unreachable_scheduler_is_a_clear_error_within_seconds(images: Path, tmp_path: Path):
    start = time.monotonic()
    result = run_velmora("embed", images, "-o", tmp_path, "--cluster", f"tcp://127.0.0.1:{free_port()}", *SLOW)
    assert time.monotonic() - start < 30
    assert result.returncode == 2
    assert "cannot reach a Dask scheduler at tcp://127.0.0.1:" in result.stderr
    assert not list(tmp_path.rglob("*.png"))


@pytest.mark.parametrize(
    "args, message",
    [
        (("--cluster", "local:2", "--jobs", "2"), "not allowed with argument"),
        (("--cluster", "127.0.0.1:8786"), "expected tcp://HOST:PORT"),
        (("--cluster", "local:0"), "at least 1 worker"),
    ],
)
def test_cluster_usage_errors(images: Path, tmp_path: Path, args, message):
    result = run_velmora("embed", images, "-o", tmp_path, "--payload", "10", *args)
    assert result.returncode == 2
    assert message in result.stderr


@pytest.mark.skipif(
    not all(__import__("importlib").util.find_spec(m) for m in ("conseal", "threadpoolctl")),
    reason="needs the eval extra",
)
def test_evaluate_on_a_cluster_gives_the_local_results(tmp_path: Path):
    from photos import ALL, photograph

    covers = tmp_path / "covers"
    for name in ALL:
        write_image(covers / f"{name}.png", photograph(name)[::2, ::2])
    options = ("--crop", "64", "--crops-per-image", "4", "--payload", "0.2", "--methods", "velmora,lsbm,none",
               "--splits", "3", "--features", "srmq1", "--learners", "30", "--subspace", "40", "--seed", "3")
    local = run_velmora("evaluate", covers, "-o", tmp_path / "local", "--jobs", "2", *options, timeout=900)
    assert local.returncode == 0, local.stderr
    dask = run_velmora("evaluate", covers, "-o", tmp_path / "dask", "--cluster", "local:2", *options, timeout=900)
    assert dask.returncode == 0, dask.stderr

    def table(folder: Path) -> list[list[str]]:
        lines = (folder / "results.csv").read_text().splitlines()
        return [line.split(",")[:-1] for line in lines]  # all but the measured seconds

    assert table(tmp_path / "dask") == table(tmp_path / "local")
    for name in ("splits.csv", "results-splits.csv"):
        def split_rows(folder: Path) -> list[list[str]]:
            return [line.split(",")[:-1] for line in (folder / name).read_text().splitlines()]

        assert split_rows(tmp_path / "dask") == split_rows(tmp_path / "local")
    assert "(a Dask cluster)" in (tmp_path / "dask" / "report.md").read_text()


def test_features_on_a_cluster_are_those_of_a_local_run(images: Path, tmp_path: Path) -> None:
    files = {}
    for name, how in (("local", ("--jobs", "1")), ("cluster", ("--cluster", "local:2"))):
        out = tmp_path / name
        result = run_velmora("features", images, "-o", out, "--features", "spam", *how, timeout=600)
        assert result.returncode == 0, result.stderr
        files[name] = {p.name: p.read_bytes() for p in sorted(out.iterdir())}
    assert files["cluster"] == files["local"] and sorted(files["local"]) == ["features.npy", "index.json"]
