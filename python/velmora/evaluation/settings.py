"""What a run of ``velmora evaluate`` compares, and the checks that it can
run: the methods, payloads, feature set, detector, splits and seed."""

from __future__ import annotations

import importlib.util
from dataclasses import dataclass

from .._api import check_seed
from .._batch import UsageError
from ..baselines import METHODS as BASELINE_METHODS
from ..features import KINDS, MAP_KINDS, dimension, min_side
from ..selection import DEFAULT_MODEL, DEFAULT_RUNS, MODELS, VELMORA_METHODS

# Embedding methods: this system and its ablations (velmora.ablations), the
# field's baselines (velmora.baselines), and a control that changes nothing
# (its detection error must be chance).
METHODS = (*VELMORA_METHODS, *BASELINE_METHODS, "none")

# The feature sets of a run when none are named: the blind rich model. With
# its selection-channel-aware version beside it (--features srm,maxsrm) a
# study of the field's size costs several times as much (see the README), so
# the informed detector is asked for by name.
DEFAULT_FEATURES = ("srm",)
FIGURE_FORMATS = ("png", "pdf", "svg")
MIN_SOURCES = 4  # two source images on each side of a split, at the least
EXTRA_HINT = "pip install 'velmora-core[eval]'"

# The detector's sizes when the command line does not name them: fixed, as
# measured for the rich model (the searches train an ensemble for every
# candidate subspace dimension, several times the cost of one training).
DEFAULT_LEARNERS: int | None = 60
DEFAULT_SUBSPACE: int | None = 1000


class Stopped(Exception):
    """The run was stopped by a signal before it was complete."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@dataclass(frozen=True)
class EvalSettings:
    payloads: tuple[float, ...] = (0.05, 0.1, 0.2)
    methods: tuple[str, ...] = ("velmora", "lsbm", "hill")
    features: tuple[str, ...] = DEFAULT_FEATURES
    crop: int | None = None
    crops_per_image: int = 1
    splits: int = 10
    seed: int = 0
    learners: int | None = DEFAULT_LEARNERS  # None: the ensemble's own choice
    subspace: int | None = DEFAULT_SUBSPACE  # None: the ensemble's search
    engine: tuple[int, int, int] = (30, 50, 4)  # colony_size, max_iter, min_block
    gray: bool = False
    figure_formats: tuple[str, ...] = ("png",)
    channel: str = DEFAULT_MODEL  # the informed attacker's model of velmora's colony
    channel_runs: int = DEFAULT_RUNS

    @property
    def blind(self) -> tuple[str, ...]:
        """The feature sets that need no change-probability map."""
        return tuple(f for f in self.features if f not in MAP_KINDS)

    @property
    def informed(self) -> tuple[str, ...]:
        """The selection-channel-aware feature sets."""
        return tuple(f for f in self.features if f in MAP_KINDS)

    def channel_options(self, method: str) -> dict[str, int | str]:
        """The options of velmora.selection.estimate for ``method``'s map."""
        if method not in VELMORA_METHODS:
            return {}
        options: dict[str, int | str] = {"min_block": self.engine[2]}
        if method == "velmora":
            options.update(model=self.channel, colony_size=self.engine[0], max_iter=self.engine[1])
            if self.channel == "frequency":
                options["runs"] = self.channel_runs
        return options

    def check(self) -> None:
        unknown = [m for m in self.methods if m not in METHODS]
        if unknown:
            raise UsageError(f"unknown method(s) {', '.join(unknown)}: choose from {', '.join(METHODS)}")
        if not self.methods:
            raise UsageError("no method to evaluate")
        if len(set(self.methods)) != len(self.methods):
            raise UsageError("a method is named twice")
        if not self.features:
            raise UsageError("no feature set to evaluate with")
        for f in self.features:
            if f not in KINDS:
                raise UsageError(f"unknown feature set {f!r}: choose from {', '.join(KINDS)}")
        if len(set(self.features)) != len(self.features):
            raise UsageError("a feature set is named twice")
        if self.channel not in MODELS:
            raise UsageError(f"unknown model {self.channel!r} of velmora's selection: choose from {', '.join(MODELS)}")
        if self.channel_runs < 1:
            raise UsageError("--channel-runs must be at least 1")
        if not self.payloads:
            raise UsageError("no payload to evaluate")
        for p in self.payloads:
            if not (isinstance(p, float) and 0.0 < p <= 1.0):
                raise UsageError(f"a payload of {p!r} bits per pixel is outside (0, 1]")
        if len(set(self.payloads)) != len(self.payloads):
            raise UsageError("a payload is named twice")
        if self.splits < 1:
            raise UsageError("--splits must be at least 1")
        for f in self.features:
            side = min_side(f)
            if self.crop is not None and self.crop < side:
                raise UsageError(
                    f"{f} features need images of at least {side}x{side} pixels; --crop {self.crop} is smaller"
                )
        if self.crops_per_image < 1:
            raise UsageError("--crops-per-image must be at least 1")
        if self.learners is not None and self.learners < 1:
            raise UsageError("--learners must be at least 1 (or auto)")
        if self.subspace is not None and self.subspace < 1:
            raise UsageError("--subspace must be at least 1 (or auto)")
        for fmt in self.figure_formats:
            if fmt not in FIGURE_FORMATS:
                raise UsageError(f"figure format {fmt!r}: choose from {', '.join(FIGURE_FORMATS)}")
        check_seed(self.seed)

    def subspace_for_features(self, features: str) -> int | None:
        """The subspace dimension the detectors of ``features`` use: the one
        asked for, at most the dimension of the feature set."""
        return None if self.subspace is None else min(self.subspace, dimension(features))

    def detector(self) -> str:
        learners = ("base learners until the out-of-bag error settles" if self.learners is None
                    else f"{self.learners} base learners")
        dims = sorted({d for f in self.features if (d := self.subspace_for_features(f)) is not None})
        subspace = ("subspace dimension found by the search" if self.subspace is None
                    else f"{'/'.join(str(d) for d in dims)} subspace dimensions")
        return f"FLD ensemble (velmora.ensemble), {learners}, {subspace}"


def check_dependencies(settings: EvalSettings, cluster: bool = False) -> None:
    """UsageError naming the extra to install when a library is missing."""
    needed = ["threadpoolctl", "PIL", "tqdm", "matplotlib"]
    if cluster:
        needed.append("distributed")
    missing = [name for name in needed if importlib.util.find_spec(name) is None]
    if missing:
        names = ", ".join("Pillow" if m == "PIL" else m for m in missing)
        hint = EXTRA_HINT if missing != ["distributed"] else "pip install 'velmora-core[cluster]'"
        raise UsageError(f"velmora evaluate needs {names}, which {'is' if len(missing) == 1 else 'are'} "
                         f"not installed; install {'them' if len(missing) > 1 else 'it'} with: {hint}")
