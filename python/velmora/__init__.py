"""Research tooling around velmora_core: reproducible embedding, image files,
batch embedding, figures.

The functions here need the ``cli`` extra (Pillow, tqdm, Matplotlib) only when
they run: ``import velmora`` itself imports none of them.

- embed(cover, payload_bits, *, seed=None, ...): an Embedding (stego image,
  coordinates, bits, pool size, time, changes); reproducible with a seed
- simulate(cover, alpha, *, seed=None, ...): the stego image for alpha bits
  per pixel, in the calling convention of the field's simulators
- capacity(cover, min_block=4): the largest payload a cover takes
- derive_seed(seed, *labels): the per-item seeds of reproducible runs
- evaluate(covers, report_dir, ...): detectability against baseline methods
  with steganalysis features and an FLD ensemble (needs the ``eval`` extra)
- features: the submodule of steganalysis features (SPAM, the spatial rich
  model and its selection-channel-aware version, maxSRM) from the native
  extractor: extract(image, kind), submodels(kind),
  dimension(kind), min_side(kind), and load(folder) for the matrix that
  ``velmora features`` writes
- selection: the informed attacker's change-probability maps,
  estimate(image, alpha, method), for the selection-channel-aware features
  (features.extract(image, "maxsrm", beta=map)), and selection_gain
- ablations: velmora with its colony replaced by a uniform draw from the
  pool ("velmora-random") or the pool's best scores ("velmora-greedy")
- baselines: the field's embedding methods (LSB matching, HILL, S-UNIWARD,
  WOW, MiPOD), native and the same as conseal's
- ensemble: the submodule of the FLD ensemble classifier of steganalysis
  (Kodovsky, Fridrich and Holub), FLDEnsemble(n_learners="auto",
  subspace="auto", seed=0) with fit(X_cover, X_stego), decision_function(X)
  and predict(X); needs only NumPy
- load_gray(path, gray=False): an image file as a 2-D uint8 array
- save_lossless(path, array): write one atomically in a lossless format
- psnr(cover, stego): peak signal-to-noise ratio in dB
- example_image(size=512): a synthetic grayscale scene
- plot_pool(image, pool, ax=None), plot_embedding(cover, stego, coords_y,
  coords_x, ax=None): Matplotlib figures

The command line is ``velmora`` (or ``python -m velmora``); see ``velmora --help``.
"""

from . import ablations, baselines, ensemble, features, selection
from ._api import CapacityError, Embedding, capacity, derive_seed, embed, simulate
from .evaluation.run import evaluate
from ._example import example_image
from ._imageio import load_gray, psnr, save_lossless
from ._plot import plot_embedding, plot_pool

__all__ = [
    "CapacityError",
    "ablations",
    "baselines",
    "Embedding",
    "capacity",
    "derive_seed",
    "embed",
    "ensemble",
    "evaluate",
    "example_image",
    "features",
    "load_gray",
    "plot_embedding",
    "plot_pool",
    "psnr",
    "save_lossless",
    "selection",
    "simulate",
]
