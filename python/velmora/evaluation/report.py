"""What a run of ``velmora evaluate`` writes into its report folder:
results.csv (a row per method and payload), results-splits.csv (a row per
split, for paired comparisons), splits.csv (which source images were on
which side), report.md and the figure of P_E against payload."""

from __future__ import annotations

import csv
import io
import math
import os
import platform
import shlex
import statistics
from typing import TYPE_CHECKING, Any

from .._imageio import atomic_write
from ..features import EXTRACTOR, MAP_KINDS, dimension
from ..selection import DEFAULT_MODEL, DEFAULT_RUNS, VELMORA_METHODS

if TYPE_CHECKING:
    from .run import EvaluationRun

RESULT_FIELDS = (
    "method", "payload_bpp", "features", "pairs", "left_out", "test_pairs", "change_rate", "psnr_db",
    "selection_gain", "pe_mean", "pe_std", "p_fa_mean", "p_md_mean", "splits", "seconds",
)
SPLIT_FIELDS = (
    "method", "payload_bpp", "features", "split", "train_pairs", "test_pairs", "pe", "p_fa", "p_md", "separability_bound",
    "oob_error", "learners", "subspace", "seconds",
)
P_E_TEXT = ("P_E = (P_FA + P_MD) / 2 of the trained detector's own decisions (the ensemble's majority vote, at "
            "the threshold that training fixed) on the test half")


class Report:
    def __init__(self, run: EvaluationRun) -> None:
        self.run = run
        self.s = run.s

    def _trained(self, features: str, method: str, payload: float) -> list[tuple[int, dict[str, Any]]]:
        return [(i, self.run.train_records[(features, method, payload, i)]) for i in range(self.s.splits)
                if (features, method, payload, i) in self.run.train_records]

    def rows(self) -> list[dict[str, Any]]:
        rows = []
        for features in self.s.features:
            for method in self.s.methods:
                for payload in self.s.payloads:
                    rows.append(self._row(features, method, payload))
        return rows

    def _row(self, features: str, method: str, payload: float) -> dict[str, Any]:
        covers = self.run.pairs(payload)
        stego = [self.run.stego_records[(method, payload, c.id)] for c in covers]
        trained = [t for _i, t in self._trained(features, method, payload)]
        pes = [t["pe"] for t in trained]
        # Embedding and features are shared by the sets: each row counts them once.
        seconds = sum(r["embed_seconds"] + r["feature_seconds"] for r in stego) / len(self.s.features)
        seconds += sum(t["seconds"] for t in trained)
        gains = [r.get("selection_gain") for r in stego]
        return {
            "method": method,
            "payload_bpp": payload,
            "features": features,
            "pairs": len(covers),
            "left_out": len(self.run.usable) - len(covers),
            "test_pairs": _mean([t["test_pairs"] for t in trained]),
            "change_rate": _mean([r["change_rate"] for r in stego]),
            "psnr_db": _mean_psnr([r["psnr_db"] for r in stego]),
            "selection_gain": _mean([g for g in gains if g is not None]),
            "pe_mean": _mean(pes),
            "pe_std": statistics.stdev(pes) if len(pes) > 1 else (0.0 if pes else math.nan),
            "p_fa_mean": _mean([t["p_fa"] for t in trained]),
            "p_md_mean": _mean([t["p_md"] for t in trained]),
            "splits": len(trained),
            "seconds": seconds,
            "splits_trained": len(trained),
            "learners": sorted({t["learners"] for t in trained}),
            "subspace": sorted({t["subspace"] for t in trained}),
        }

    def write(self, rows: list[dict[str, Any]]) -> None:
        out = self.run.report_dir
        _write_csv(os.path.join(out, "results.csv"), RESULT_FIELDS, rows)
        per_split = []
        for features in self.s.features:
            for method in self.s.methods:
                for payload in self.s.payloads:
                    for i, t in self._trained(features, method, payload):
                        per_split.append({"method": method, "payload_bpp": payload, "features": features,
                                          "split": i + 1, "separability_bound": t["bound"], **t})
        _write_csv(os.path.join(out, "results-splits.csv"), SPLIT_FIELDS, per_split)
        self._write_splits()
        for fmt in self.s.figure_formats:
            plot_pe(rows, os.path.join(out, f"pe.{fmt}"), self.s.methods, self.s.features)
        with atomic_write(os.path.join(out, "report.md")) as f:
            f.write(self.markdown(rows).encode("utf-8"))

    def _write_splits(self) -> None:
        buf = io.StringIO()
        w = csv.writer(buf, lineterminator="\n")
        w.writerow(["split", "side", "source"])
        for i, (train, test) in enumerate(self.run.splits):
            for side, names in (("train", train), ("test", test)):
                for name in sorted(names):
                    w.writerow([i + 1, side, name])
        with atomic_write(os.path.join(self.run.report_dir, "splits.csv")) as f:
            f.write(buf.getvalue().encode("utf-8"))

    def markdown(self, rows: list[dict[str, Any]]) -> str:
        s, run = self.s, self.run
        close = within_spread(rows)
        lines = ["# velmora evaluate", ""]
        lines += [f"{P_E_TEXT}, mean ± standard deviation over {s.splits} split{'s' if s.splits != 1 else ''} "
                  "by source image. 0.5 is chance: higher is harder to detect; a split can give more than 0.5. "
                  "Test pairs: the cover and stego pairs each detector was scored on, on average over the splits.",
                  ""]
        lines += ["| method | payload (bpp) | features | pairs | test pairs | left out | change rate | PSNR (dB) | "
                  "selection gain | P_E | P_FA | P_MD | within the spread of |",
                  "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
        for r in rows:
            near = ", ".join(close.get((r["features"], r["method"], r["payload_bpp"]), [])) or ""
            lines.append(f"| {r['method']} | {r['payload_bpp']:g} | {r['features']} | {r['pairs']} | "
                         f"{_num(r['test_pairs'], 1)} | {r['left_out']} | {_num(r['change_rate'], 4)} | "
                         f"{_num(r['psnr_db'], 2)} | {_num(r['selection_gain'], 3)} | "
                         f"{_num(r['pe_mean'], 3)} ± {_num(r['pe_std'], 3)} | {_num(r['p_fa_mean'], 3)} | "
                         f"{_num(r['p_md_mean'], 3)} | {near} |")
        lines += ["", "The last column names the methods whose P_E with the same features at the same payload "
                  "differs from the row's by less than the larger of the two standard deviations over splits: such "
                  "differences are not resolved by this run (results-splits.csv has every split, for paired "
                  "comparisons). Selection gain (methods that select from velmora's pool): (mean colony score of "
                  "the chosen pixels - the pool's mean) / (mean of the best n - the pool's mean), on average over "
                  "the covers; 0 for a random subset, 1 for the best.", ""]
        lines += self._blind_and_informed()
        if "png" in s.figure_formats:
            lines += ["![P_E against payload](pe.png)", ""]
        lines += ["## Rerun", "", "```sh", run.command or self._command(), "```", ""]
        lines += ["## Settings", ""]
        crop = (f"{s.crops_per_image} seeded crop(s) of {s.crop}x{s.crop} per image" if s.crop else "whole images")
        lines += [
            f"- covers: {len(run.covers.covers)} from {run.covers.sources} source image(s) ({crop}); "
            f"{len(run.usable)} usable",
            f"- methods: {', '.join(s.methods)}; payloads: {', '.join(f'{p:g}' for p in s.payloads)} bits per pixel",
            "- features: " + ", ".join(f"{f} ({dimension(f)} dimensions)" for f in s.features)
            + f", velmora's native extractor {EXTRACTOR}",
            f"- detector: {s.detector()}" + self._chosen(rows),
            f"- splits: {s.splits} random halves by source image (splits.csv lists them); seed {s.seed}",
            f"- velmora engine: colony size {s.engine[0]}, {s.engine[1]} iterations, minimum block {s.engine[2]}",
            "- seeds: each stego image uses derive_seed(seed, \"evaluate\", method, payload, cover), each split "
            "derive_seed(seed, \"split\", i, source) and each detector derive_seed(seed, \"ensemble\", method, "
            "payload, i)",
        ]
        if s.informed:
            lines.append("- informed features: each image's change-probability map is velmora.selection.estimate of "
                         "the method and payload on that image (cover or stego); velmora's colony modelled as "
                         f"\"{s.channel}\"" + (f" over {s.channel_runs} runs" if s.channel == "frequency" else ""))
        if any(m in VELMORA_METHODS for m in s.methods):
            lines.append("- left out: at each payload, covers whose quadtree pool is not larger than the payload "
                         "(velmora cannot embed them), and covers on which any method failed, for every method")
        lines += ["", "## Covers left out", ""]
        for payload in s.payloads:
            capacity = len(run.left_out(payload))
            failed = sum(1 for (p, _c) in run.failed if p == payload)
            lines.append(f"- {payload:g} bpp: {capacity} too small a pool, {failed} failed")
        for r in rows:
            if r["splits_trained"] < s.splits:
                lines.append(f"- {r['method']} at {r['payload_bpp']:g} bpp with {r['features']}: "
                             f"{r['splits_trained']} of {s.splits} splits trained (a split needs pairs on both sides)")
        for (features, method, payload, i), why in sorted(run.train_errors.items()):
            lines.append(f"- training {method} at {payload:g} bpp with {features}, split {i + 1} failed: {why}")
        for name, why in sorted(run.covers.unusable.items()):
            lines.append(f"- unusable: {name}: {why}")
        for name in run.covers.too_small:
            lines.append(f"- smaller than --crop {s.crop}, no crop taken: {name}")
        for (payload, name), why in sorted(run.failed.items()):
            lines.append(f"- failed at {payload:g} bpp: {name}: {why}")
        lines += ["", "## Time", ""]
        lines += [
            "- phases (wall): " + ", ".join(f"{name} {run.phase_seconds.get(name, 0.0):.1f} s"
                                            for name in ("covers", "stego", "training")),
            f"- work done in this run (task seconds): embedding {run.task_seconds['embedding']:.1f} s, features "
            f"{run.task_seconds['features']:.1f} s, training {run.task_seconds['training']:.1f} s; "
            f"{run.cache.reused} results taken from the cache",
            f"- workers: {run.pool.workers}" + (" (a Dask cluster)" if run.pool.dashboard else ""),
        ]
        lines += ["", "## Versions", ""]
        lines += [f"- {name} {_version(name)}" for name in ("velmora-core", "numpy")]
        lines += [f"- Python {platform.python_version()} on {platform.platform()}", ""]
        return "\n".join(lines)

    def _blind_and_informed(self) -> list[str]:
        """The blind and the informed detector side by side: P_E of each
        blind set, each informed set, and informed - blind, its mean and
        standard deviation over the splits both trained (the same halves)."""
        s = self.s
        if not s.blind or not s.informed:
            return []
        pairs = [(b, i) for b in s.blind for i in s.informed]
        head = "| method | payload (bpp) | " + " | ".join(
            f"P_E {b} | P_E {i} | {i} - {b}" for b, i in pairs) + " |"
        lines = ["## Blind and informed detectors", "",
                 "The informed detector knows the method and the payload (not the key) and weighs each image's "
                 "co-occurrences with the change probabilities it estimates from that image. The difference is "
                 "paired: informed - blind on each split, mean ± standard deviation over the splits.", "",
                 head, "|---|---|" + "---|" * (3 * len(pairs))]
        for method in s.methods:
            for payload in s.payloads:
                cells = []
                for b, i in pairs:
                    blind = dict(self._trained(b, method, payload))
                    informed = dict(self._trained(i, method, payload))
                    diffs = [informed[k]["pe"] - blind[k]["pe"] for k in sorted(blind.keys() & informed.keys())]
                    cells += [_pe_cell([t["pe"] for t in blind.values()]),
                              _pe_cell([t["pe"] for t in informed.values()]),
                              _pe_cell(diffs, signed=True)]
                lines.append(f"| {method} | {payload:g} | " + " | ".join(cells) + " |")
        return lines + [""]

    def _chosen(self, rows: list[dict[str, Any]]) -> str:
        if self.s.learners is not None and self.s.subspace is not None:
            return ""
        return "; chosen: " + "; ".join(
            f"{r['method']} at {r['payload_bpp']:g} bpp with {r['features']}: L {_span(r['learners'])}, "
            f"d_sub {_span(r['subspace'])}"
            for r in rows
        )

    def _command(self) -> str:
        s, run = self.s, self.run
        parts = ["velmora", "evaluate", *run.inputs, "-o", run.report_dir,
                 "--payload", ",".join(f"{p:g}" for p in s.payloads), "--methods", ",".join(s.methods),
                 "--features", ",".join(s.features), "--splits", str(s.splits), "--seed", str(s.seed),
                 "--learners", "auto" if s.learners is None else str(s.learners),
                 "--subspace", "auto" if s.subspace is None else str(s.subspace)]
        if s.crop is not None:
            parts += ["--crop", str(s.crop), "--crops-per-image", str(s.crops_per_image)]
        if s.engine != (30, 50, 4):
            parts += ["--colony-size", str(s.engine[0]), "--max-iter", str(s.engine[1]), "--min-block", str(s.engine[2])]
        if s.informed and s.channel != DEFAULT_MODEL:
            parts += ["--channel", s.channel]
        if s.informed and s.channel == "frequency" and s.channel_runs != DEFAULT_RUNS:
            parts += ["--channel-runs", str(s.channel_runs)]
        if s.gray:
            parts.append("--gray")
        return shlex.join(parts)


def within_spread(rows: list[dict[str, Any]]) -> dict[tuple[str, str, float], list[str]]:
    """For each (features, method, payload), the other methods with the same
    features at that payload whose mean P_E differs from its own by less
    than the larger of the two standard deviations over splits."""
    out: dict[tuple[str, str, float], list[str]] = {}
    for a in rows:
        for b in rows:
            if a is b or a["payload_bpp"] != b["payload_bpp"] or a["features"] != b["features"]:
                continue
            if math.isnan(a["pe_mean"]) or math.isnan(b["pe_mean"]):
                continue
            if abs(a["pe_mean"] - b["pe_mean"]) < max(a["pe_std"], b["pe_std"]):
                out.setdefault((a["features"], a["method"], a["payload_bpp"]), []).append(b["method"])
    return out


def plot_pe(rows: list[dict[str, Any]], path: str, methods: tuple[str, ...], features: tuple[str, ...]) -> None:
    """P_E against payload, one panel per feature set side by side (the
    blind and the informed detector), one line per method, with the
    standard deviation over splits as error bars."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from .._plot import save_figure

    fig = Figure(figsize=(6.4 if len(features) == 1 else 5.2 * len(features), 4.4), dpi=100)
    FigureCanvasAgg(fig)
    axes = fig.subplots(1, len(features), sharey=True, squeeze=False)[0]
    top = max([0.6] + [r["pe_mean"] + r["pe_std"] + 0.02 for r in rows if not math.isnan(r["pe_mean"])])
    for ax, f in zip(axes, features):
        for method in methods:
            mine = [r for r in rows if r["features"] == f and r["method"] == method and not math.isnan(r["pe_mean"])]
            if mine:
                ax.errorbar([r["payload_bpp"] for r in mine], [r["pe_mean"] for r in mine],
                            yerr=[r["pe_std"] for r in mine], marker="o", capsize=3, label=method)
        ax.axhline(0.5, color="0.6", linestyle="--", linewidth=1, label="chance")
        ax.set_xlabel("payload (bits per pixel)")
        ax.set_ylim(0.0, top)
        kind = "informed" if f in MAP_KINDS else "blind"
        ax.set_title(f"{f} ({kind}), FLD ensemble, unseen images", fontsize=10)
        ax.grid(True, alpha=0.3)
    axes[0].set_ylabel("P_E = (P_FA + P_MD) / 2 of the detector's decisions")
    axes[-1].legend(fontsize=8)
    fig.tight_layout()
    save_figure(fig, path)


def _pe_cell(values: list[float], signed: bool = False) -> str:
    if not values:
        return "n/a"
    spread = statistics.stdev(values) if len(values) > 1 else 0.0
    mean = statistics.fmean(values)
    return f"{mean:+.3f} ± {spread:.3f}" if signed else f"{mean:.3f} ± {spread:.3f}"


def _mean(values: list[float]) -> float:
    return statistics.fmean(values) if values else math.nan


def _mean_psnr(values: list[float | None]) -> float:
    """The mean PSNR of the stego images that differ from their covers (None
    for an unchanged one); inf when none differs."""
    finite = [v for v in values if v is not None]
    if finite:
        return statistics.fmean(finite)
    return math.inf if values else math.nan


def _num(value: float, digits: int) -> str:
    if math.isnan(value):
        return "n/a"
    return "inf" if math.isinf(value) else f"{value:.{digits}f}"


def _span(values: list[int]) -> str:
    if not values:
        return "n/a"
    return str(values[0]) if len(values) == 1 else f"{values[0]}-{values[-1]}"


def _version(dist: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(dist)
    except PackageNotFoundError:
        return "not installed"


def _csv_value(name: str, value: Any) -> str:
    if isinstance(value, float):
        if math.isnan(value):
            return ""
        if math.isinf(value):
            return "inf"
        digits = {"payload_bpp": None, "seconds": 2, "psnr_db": 4, "test_pairs": 1}.get(name, 6)
        return f"{value:g}" if digits is None else f"{value:.{digits}f}"
    return str(value)


def _write_csv(path: str, fields: tuple[str, ...], rows: list[dict[str, Any]]) -> None:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(fields)
    for r in rows:
        w.writerow([_csv_value(k, r[k]) for k in fields])
    with atomic_write(path) as f:
        f.write(buf.getvalue().encode("utf-8"))
