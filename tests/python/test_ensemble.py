"""velmora.ensemble: the FLD ensemble on synthetic features with a known
answer, its seeded draws, its automatic sizes, its threshold and solve, and
its input checks. The comparison with sealwatch's implementation on real
features is in test_ensemble_reference.py."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmora import ensemble as E
from velmora.ensemble import FLDEnsemble, NotFittedError


def planted(pairs: int, dim: int, shift: float, rng: np.random.Generator,
            signal: int = 8) -> tuple[np.ndarray, np.ndarray]:
    """Correlated Gaussian covers (a shared factor through every feature) and
    their stego partners, moved by ``shift`` along the first ``signal``
    features."""
    cover = rng.normal(size=(pairs, dim)) + rng.normal(size=(pairs, 1)) * np.linspace(1, 3, dim)
    stego = cover.copy()
    stego[:, :signal] += shift
    return cover, stego


@pytest.mark.parametrize("n_learners, subspace", [(15, 20), ("auto", "auto")])
def test_finds_a_planted_signal_and_nothing_in_noise(n_learners: object, subspace: object) -> None:
    rng = np.random.default_rng(3)
    cover, stego = planted(200, 40, 2.0, rng)
    test_c, test_s = planted(300, 40, 2.0, rng)
    model = FLDEnsemble(n_learners, subspace, seed=5).fit(cover, stego)  # type: ignore[arg-type]
    assert model.error(test_c, test_s) < 0.02
    assert model.oob_error_ < 0.05
    # Stego drawn like the covers, independently of them: nothing to find.
    other = planted(200, 40, 0.0, rng)[0]
    noise = FLDEnsemble(n_learners, subspace, seed=5).fit(cover, other)  # type: ignore[arg-type]
    assert 0.4 < noise.error(test_c, planted(300, 40, 0.0, rng)[0]) < 0.6
    assert 0.4 < noise.oob_error_ < 0.6


def test_same_seed_same_model_and_refit_at_the_chosen_sizes() -> None:
    rng = np.random.default_rng(4)
    cover, stego = planted(60, 30, 0.4, rng)
    probe = rng.normal(size=(25, 30))
    auto = FLDEnsemble(seed=11, max_learners=40).fit(cover, stego)
    again = FLDEnsemble(seed=11, max_learners=40).fit(np.asfortranarray(cover), stego.astype(np.float32))
    fixed = FLDEnsemble(auto.n_learners_, auto.subspace_, seed=11).fit(cover, stego)
    for other in (again, fixed):
        assert np.array_equal(other.subspaces_, auto.subspaces_)
        assert np.array_equal(other.coef_, auto.coef_)
        assert np.array_equal(other.thresholds_, auto.thresholds_)
        assert np.array_equal(other.decision_function(probe), auto.decision_function(probe))
    assert fixed.oob_error_ == auto.oob_error_
    other_seed = FLDEnsemble(auto.n_learners_, auto.subspace_, seed=12).fit(cover, stego)
    assert not np.array_equal(other_seed.subspaces_, auto.subspaces_)
    assert not np.array_equal(other_seed.decision_function(probe), auto.decision_function(probe))


def test_draws_are_pinned() -> None:
    """The draws are part of what a seed means: they must not change between
    versions, platforms or NumPy releases. SplitMix64's published first
    outputs for state 0, then the ensemble's own draws."""
    assert [int(v) for v in E._hashes(0, 3)] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
    assert E._subspace(0, 0, 10, 4).tolist() == [0, 1, 8, 9]
    assert E._bootstrap_counts(0, 0, 8).tolist() == [2, 0, 2, 1, 2, 1, 0, 0]
    assert E._subspace(2**64 - 1, 3, 50, 7).tolist() == [0, 4, 10, 17, 18, 26, 34]
    assert E._bootstrap_counts(12345, 7, 12).tolist() == [1, 0, 1, 0, 2, 2, 1, 2, 1, 1, 1, 0]


@given(seed=st.integers(0, 2**64 - 1), learner=st.integers(0, 10**6), dim=st.integers(1, 300),
       data=st.data())
def test_subspaces_are_nested_sets_and_bootstraps_have_n_draws(seed: int, learner: int, dim: int,
                                                               data: st.DataObject) -> None:
    small, large = sorted(data.draw(st.lists(st.integers(1, dim), min_size=2, max_size=2)))
    a, b = E._subspace(seed, learner, dim, small), E._subspace(seed, learner, dim, large)
    assert a.size == small and b.size == large
    assert np.all(np.diff(b) > 0) and 0 <= b[0] and b[-1] < dim
    assert np.isin(a, b).all()
    pairs = data.draw(st.integers(1, 500))
    counts = E._bootstrap_counts(seed, learner, pairs)
    assert counts.shape == (pairs,) and counts.sum() == pairs


def test_draws_are_uniform() -> None:
    """Over many learners each feature is chosen, and each pair drawn, about
    equally often (bounds of some six standard deviations)."""
    dim, size, learners, pairs = 50, 10, 4000, 40
    chosen = np.bincount(np.concatenate([E._subspace(9, i, dim, size) for i in range(learners)]), minlength=dim)
    expected = learners * size / dim
    assert np.all(np.abs(chosen - expected) < 6 * np.sqrt(expected))
    drawn = sum(E._bootstrap_counts(9, i, pairs) for i in range(learners))
    assert np.all(np.abs(drawn - learners) < 6 * np.sqrt(learners))


@given(st.lists(st.tuples(st.integers(-32, 32), st.booleans(), st.integers(1, 4)), min_size=1, max_size=12))
def test_threshold_is_a_best_cut(samples: list[tuple[int, bool, int]]) -> None:
    """The threshold errs (weighted) no more than any cut a brute force tries."""
    scores = np.array([s for s, _, _ in samples]) / 8
    stego = np.array([s for _, s, _ in samples])
    weights = np.array([w for _, _, w in samples], dtype=np.float64)
    # Pairs: every score goes in with a partner of the other class at +-1.
    cover_scores = np.where(stego, scores - 1.0, scores)
    stego_scores = np.where(stego, scores, scores + 1.0)
    threshold, orientation = E._threshold(cover_scores, stego_scores, weights)

    def errors(t: float, o: float) -> float:
        return float(weights @ (o * (cover_scores - t) > 0) + weights @ (o * (stego_scores - t) < 0))

    everything = np.concatenate([cover_scores, stego_scores])
    cuts = np.concatenate([everything - 1 / 16, everything + 1 / 16])
    best = min(errors(t, o) for t in cuts for o in (1.0, -1.0))
    assert errors(threshold, orientation) == best


def test_dual_solve_matches_the_primal_one() -> None:
    rng = np.random.default_rng(8)
    block = rng.normal(size=(30, 12)) / 4
    diff = rng.normal(size=30)
    primal = np.linalg.solve(block @ block.T + E.REGULARIZATION * np.eye(30), diff)
    assert np.allclose(E._fld_weights(block, diff), primal, rtol=1e-5, atol=1e-5 * np.abs(primal).max())
    wide = rng.normal(size=(12, 30))
    assert np.allclose(E._fld_weights(wide, diff[:12]),
                       np.linalg.solve(wide @ wide.T + E.REGULARIZATION * np.eye(12), diff[:12]))


@given(pairs=st.integers(2, 12), dim=st.integers(1, 6), learners=st.integers(1, 7), data=st.data())
def test_decisions_follow_the_documented_vote(pairs: int, dim: int, learners: int, data: st.DataObject) -> None:
    """On any small data, including repeated rows and constant columns:
    predict is the majority of the learners' score signs, a tie going to
    the sign of their mean score, and decision_function is positive exactly
    there; the OOB error is a multiple of 1 / (4 N)."""
    values = st.sampled_from([0.0, 1.0, -2.5, 0.125, 3.0])
    cover = np.array(data.draw(st.lists(st.lists(values, min_size=dim, max_size=dim), min_size=pairs,
                                        max_size=pairs)))
    stego = cover + np.array(data.draw(st.lists(st.lists(values, min_size=dim, max_size=dim),
                                                min_size=pairs, max_size=pairs))) / 8
    size = data.draw(st.integers(1, dim))
    model = FLDEnsemble(learners, size, seed=data.draw(st.integers(0, 99))).fit(cover, stego)
    x = np.vstack([cover, stego, cover[:1] * 2])
    scores = model.learner_scores(x)
    assert scores.shape == (x.shape[0], learners) and np.all(np.isfinite(scores))
    votes = np.sum(np.sign(scores), axis=1)
    mean = np.mean(scores, axis=1)
    expected = np.where(votes != 0, votes > 0, mean > 0)
    assert np.array_equal(model.predict(x), expected.astype(np.int64))
    decision = model.decision_function(x)
    assert np.array_equal(decision > 0, expected) and np.all(np.abs(decision) <= 1 + 0.5 / learners)
    assert model.oob_errors_.shape == (learners,) and 0 <= model.oob_error_ <= 1
    assert (model.oob_error_ * 4 * pairs) == pytest.approx(round(model.oob_error_ * 4 * pairs))


def test_automatic_sizes_stay_in_bounds() -> None:
    rng = np.random.default_rng(6)
    cover, stego = planted(40, 12, 0.3, rng)
    model = FLDEnsemble(seed=2, max_learners=30).fit(cover, stego)
    assert E.AUTO_MIN_LEARNERS <= model.n_learners_ <= 30
    assert 1 <= model.subspace_ <= 12 and len(model.search_) >= 3
    assert model.oob_error_ == min(s.oob_error for s in model.search_)
    assert all(E.AUTO_MIN_LEARNERS <= s.n_learners <= 30 and 1 <= s.subspace <= 12 for s in model.search_)
    one = FLDEnsemble(4, seed=2).fit(cover[:, :1], stego[:, :1])
    assert one.subspace_ == 1 and one.n_learners_ == 4 and len(one.search_) == 1


def test_stopping_rule() -> None:
    pairs = 100  # the tube: moving sums of 5 within 0.005 * 5 * 400 = 10 quarters
    assert not E._settled([200] * 24, pairs)
    assert E._settled([200] * 25, pairs)
    assert not E._settled([200] * 30 + [190] * 5, pairs)
    assert E._settled([200] * 30 + [199] * 9 + [200] * 10, pairs)
    # An old jump no longer counts once it is out of the last 50 estimates.
    assert not E._settled([100] + [200] * 49, pairs)
    assert E._settled([100] + [200] * 50, pairs)


@given(dim=st.integers(2, 3000), errors=st.lists(st.floats(0, 0.5), min_size=1, max_size=40))
def test_subspace_search_terminates_within_range(dim: int, errors: list[float]) -> None:
    search = E._SubspaceSearch(dim)
    tried: list[int] = []
    while search.next is not None:
        assert search.next not in tried and 1 <= search.next <= dim and len(tried) < 100
        tried.append(search.next)
        search.update(search.next, errors[len(tried) % len(errors)])
    assert search.best() in tried


def test_subspace_search_finds_a_minimum() -> None:
    """A sharp minimum is approached until the step is below 5% of it; a
    flat one only until the neighbours' errors are within tolerance."""
    for valley, width in ((lambda k: 0.05 + abs(k - 730) / 2000, 40), (lambda k: 0.2 + ((k - 730) / 3000) ** 2, 100)):
        search = E._SubspaceSearch(5000)
        while search.next is not None:
            search.update(search.next, valley(search.next))
        assert abs(search.best() - 730) <= width


def test_refuses_bad_input() -> None:
    good = np.ones((5, 3)) + np.arange(15).reshape(5, 3)
    bad_values: list[tuple[object, object, str]] = [
        (good, good[:4], "same shape"),
        (good[:, :2], good, "same shape"),
        (good[0], good[0], "2-D"),
        (good[None], good[None], "2-D"),
        (good[:1], good[:1] + 1, "at least 2"),
        (np.where(good > 7, np.nan, good), good, "NaN"),
        (good, np.where(good > 7, np.inf, good), "NaN or infinite"),
        (good * 1e39, good, "float32"),
        (good[:, :0], good[:, :0], "no features"),
    ]
    for cover, stego, message in bad_values:
        with pytest.raises(ValueError, match=message):
            FLDEnsemble(3, 1).fit(cover, stego)  # type: ignore[arg-type]
    for cover in (good.astype(complex), good.astype(bool), good.astype(str), good.astype(object)):
        with pytest.raises(TypeError, match="real numbers"):
            FLDEnsemble(3, 1).fit(cover, good)
    for params, error in [
        ({"subspace": 0}, ValueError), ({"subspace": 4}, ValueError), ({"n_learners": 0}, ValueError),
        ({"max_learners": 0}, ValueError), ({"n_learners": "many"}, ValueError),
        ({"max_learners": "auto"}, ValueError), ({"n_learners": 2.0}, TypeError),
        ({"subspace": True}, TypeError), ({"seed": 1.5}, TypeError), ({"seed": None}, TypeError),
    ]:
        with pytest.raises(error):
            FLDEnsemble(**{"n_learners": 3, "subspace": 2, **params}).fit(good, good + 1)  # type: ignore[arg-type]


def test_prediction_needs_a_fit_and_the_fitted_dimension() -> None:
    model = FLDEnsemble(3, 2)
    x = np.arange(12.0).reshape(4, 3)
    for method in (model.predict, model.decision_function, model.learner_scores):
        with pytest.raises(NotFittedError, match="not fitted"):
            method(x)
    assert isinstance(NotFittedError("x"), ValueError)
    model.fit(x, x ** 1.5)
    assert model.predict(x).shape == (4,)
    with pytest.raises(ValueError, match="2 features, but the ensemble was fitted on 3"):
        model.predict(x[:, :2])
    with pytest.raises(ValueError, match="NaN"):
        model.decision_function(np.full((1, 3), np.nan))
