"""A slow, plain-Python model of the module's seeded randomness and colony search.

The native code draws every random number from one xoshiro256++ stream, so a
given generator state fixes every result: which pool positions the colony
search selects, the payload bits and the direction of every +-1 change.  This
model follows the same steps, one draw at a time, so the tests can compare
whole results against it on small inputs.  It is written for clarity, not speed.
"""

from collections import Counter

import numpy as np

M64 = (1 << 64) - 1
M32 = (1 << 32) - 1

# State used in place of an all-zero seed: the first four SplitMix64 outputs from 0.
ZERO_SEED_STATE = (
    0xE220A8397B1DCDAF,
    0x6E789E6AA1B965F4,
    0x06C45D188009454F,
    0xF88BB8A8724C81EC,
)

ABANDON_LIMIT = 10


class EmptyRange(Exception):
    """The model's counterpart of the module's "cannot sample empty range"."""


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class Rng:
    """xoshiro256++ with the module's seeding and derived draws."""

    def __init__(self, state):
        state = tuple(int(w) & M64 for w in state)
        if not any(state):
            state = ZERO_SEED_STATE
        self.s = list(state)
        self.steps = 0
        # Which sampling and move methods were used, so tests can check coverage.
        self.used = Counter()

    @classmethod
    def from_bytes(cls, seed32):
        seed32 = bytes(seed32)
        assert len(seed32) == 32
        words = [int.from_bytes(seed32[8 * i : 8 * i + 8], "little") for i in range(4)]
        return cls(words)

    @classmethod
    def from_seed(cls, seed):
        # PCG32 expansion, advancing the LCG before each output.
        p = seed & M64
        out = []
        for _ in range(8):
            p = (p * 0x5851F42D4C957F2D + 0xA17654E46FBE17F3) & M64
            x = ((((p >> 18) ^ p) >> 27)) & M32
            r = p >> 59
            out.append(((x >> r) | (x << ((32 - r) & 31))) & M32)
        return cls([out[2 * i] | (out[2 * i + 1] << 32) for i in range(4)])

    # -- raw words ----------------------------------------------------------

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (_rotl((s0 + s3) & M64, 23) + s0) & M64
        t = (s1 << 17) & M64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = _rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        self.steps += 1
        return result

    def next_u32(self):
        return self.next_u64() >> 32

    def next_bit(self):
        return self.next_u64() >> 63

    def next_f64(self):
        return float(self.next_u64() >> 11) * 2.0**-53

    # -- bounded draws --------------------------------------------------------

    def _bounded(self, low, r, width):
        if r == 0:
            assert width == 32
            return self.next_u32()
        mask = M64 if width == 64 else M32
        zone = ((r << (width - r.bit_length())) - 1) & mask
        while True:
            v = self.next_u64() if width == 64 else self.next_u32()
            prod = v * r
            if prod & mask <= zone:
                return low + (prod >> width)

    def gen_range(self, low, high):
        """Uniform in [low, high), 64-bit form."""
        if high <= low:
            raise EmptyRange("cannot sample empty range")
        return self._bounded(low, high - low, 64)

    def _inclusive32(self, low, high):
        if high < low:
            raise EmptyRange("cannot sample empty range")
        return self._bounded(low, (high - low + 1) & M32, 32)

    # -- sets of distinct indices -------------------------------------------

    def sample(self, length, amount):
        if amount > length:
            raise ValueError("`amount` of samples must be less than or equal to `length`")
        method = self._sample_method(length, amount)
        self.used["sample:" + method] += 1
        if method == "empty":
            return []
        if method == "rejection64":
            return self._sample_rejection(length, amount, 64)
        if method == "rejection":
            return self._sample_rejection(length, amount, 32)
        if method == "inplace":
            return self._sample_inplace(length, amount)
        return self._floyd(length, amount, insert=method == "floyd-insert")

    @staticmethod
    def _sample_method(length, amount):
        if length > M32:
            return "rejection64"
        j = 1 if length >= 500000 else 0
        f_len = np.float32(length)
        f_amt = np.float32(amount)
        if amount == 0:
            return "empty"
        if amount <= 11:
            return "floyd-insert"
        if amount <= 162:
            a = (np.float32(1.6), np.float32(8.0 / 45.0))[j]
            b = (np.float32(10.0), np.float32(70.0 / 9.0))[j]
            if f_len < (a * f_amt + b) * f_amt:
                return "inplace"
            return "floyd-insert" if amount < 50 else "floyd-append"
        c = (np.float32(270.0), np.float32(330.0 / 9.0))[j]
        if f_len < c * f_amt:
            return "inplace"
        return "rejection"

    def _floyd(self, length, amount, insert):
        out = []
        for t_max in range(length - amount, length):
            t = self._inclusive32(0, t_max)
            if t in out:
                if insert:
                    out.insert(out.index(t), t_max)
                else:
                    out.append(t_max)
            else:
                out.append(t)
        if not insert:
            for i in range(amount - 1, 0, -1):
                k = self._inclusive32(0, i)
                out[i], out[k] = out[k], out[i]
        return out

    def _sample_inplace(self, length, amount):
        values = list(range(length))
        for i in range(amount):
            k = self._bounded(i, length - i, 32)
            values[i], values[k] = values[k], values[i]
        return values[:amount]

    def _sample_rejection(self, length, amount, width):
        full = 1 << width
        zone = (full - 1) - ((full - length) % length)
        mask = full - 1
        seen = set()
        out = []
        for _ in range(amount):
            while True:
                while True:
                    v = self.next_u64() if width == 64 else self.next_u32()
                    prod = v * length
                    if prod & mask <= zone:
                        break
                cand = prod >> width
                if cand not in seen:
                    break
            seen.add(cand)
            out.append(cand)
        return out


# ---------------------------------------------------------------------------
# Scores, food sources and the colony
# ---------------------------------------------------------------------------


def local_variance(rows, h, w, y, x):
    """Population variance of the 3x3 window around (y, x), clipped to the image."""
    y0, y1 = max(y, 1) - 1, min(y + 2, h)
    x0, x1 = max(x, 1) - 1, min(x + 2, w)
    if y1 <= y0 or x1 <= x0:
        return 0.0
    mean = 0.0
    m2 = 0.0
    c = 0
    for r in range(y0, y1):
        for p in rows[r][x0:x1]:
            c += 1
            p = float(p)
            delta = p - mean
            mean = mean + delta / float(c)
            m2 = m2 + (p - mean) * delta
    return m2 / float((y1 - y0) * (x1 - x0))


def score_table(image, pool):
    rows = np.asarray(image).tolist()
    h, w = np.shape(image)
    cache = {}
    scores = []
    for y, x in pool:
        key = (int(y), int(x))
        if key not in cache:
            cache[key] = local_variance(rows, h, w, *key)
        scores.append(cache[key])
    return scores


class Food:
    __slots__ = ("indices", "members", "fitness")

    def __init__(self, indices, scores, fitness=None, members=None):
        self.indices = indices
        self.members = set(indices) if members is None else members
        if fitness is None:
            fitness = -0.0
            for i in indices:
                fitness = fitness + scores[i]
        self.fitness = fitness

    def mutate(self, n, scores, rng):
        k = len(self.indices)
        if k == 0:
            raise EmptyRange("cannot sample empty range")
        pos = rng.gen_range(0, k)
        old = self.indices[pos]
        free = n - len(self.members)
        if len(self.members) >= n:
            rng.used["move:full"] += 1
            new = old
        elif free >= n >> 2:
            rng.used["move:rejection"] += 1
            while True:
                new = rng.gen_range(0, n)
                if new not in self.members:
                    break
        else:
            rng.used["move:scan"] += 1
            start = rng.gen_range(0, n)
            new = old
            for i in range(n):
                cand = (start + i) % n
                if cand not in self.members:
                    new = cand
                    break
        indices = list(self.indices)
        indices[pos] = new
        members = set(self.members)
        members.discard(old)
        members.add(new)
        return Food(indices, scores, (scores[new] - scores[old]) + self.fitness, members)


def run_colony(scores, payload_size, colony_size, max_iter, rng):
    """The colony search over a score table; returns the selected pool positions."""
    n = len(scores)
    count = max(colony_size // 2, 1)
    colony = [Food(rng.sample(n, payload_size), scores) for _ in range(count)]
    trials = [0] * count

    best = 0
    for j in range(1, count):
        if colony[j].fitness >= colony[best].fitness:
            best = j
    best_indices = list(colony[best].indices)
    best_fitness = colony[best].fitness
    if max_iter == 0:
        return best_indices

    def move(i):
        cand = colony[i].mutate(n, scores, rng)
        if cand.fitness > colony[i].fitness:
            colony[i] = cand
            trials[i] = 0
        else:
            trials[i] += 1

    for _ in range(max_iter):
        for i in range(count):
            move(i)
        total = -0.0
        for food in colony:
            total = total + food.fitness
        if total > 0:
            probabilities = [food.fitness / total for food in colony]
        else:
            probabilities = [1.0 / count] * count
        placed = 0
        i = 0
        while placed < count:
            u = rng.next_f64()
            if probabilities[i] > u:
                move(i)
                placed += 1
            i = (i + 1) % count
        for i in range(count):
            if colony[i].fitness > best_fitness:
                best_indices = list(colony[i].indices)
                best_fitness = colony[i].fitness
        for i in range(count):
            if trials[i] >= ABANDON_LIMIT:
                colony[i] = Food(rng.sample(n, payload_size), scores)
                trials[i] = 0
    return best_indices


def select_coords(image, pool, payload_size, colony_size, max_iter, seed):
    """What dabc_select_coords returns for these arguments (pool already checked)."""
    pool = [(int(y), int(x)) for y, x in pool]
    rng = Rng.from_seed(seed)
    indices = run_colony(score_table(image, pool), payload_size, colony_size, max_iter, rng)
    return [pool[i] for i in indices]


def lsb_matching(image, coords, bits, rng):
    out = np.array(image, copy=True)
    for (y, x), bit in zip(coords, bits):
        p = int(out[y, x])
        if (p & 1) == bit:
            continue
        if p == 0:
            p = 1
        elif p == 255:
            p = 254
        else:
            p = p - 1 if rng.next_bit() else p + 1
        out[y, x] = p
    return out


def embed(image, pool, payload_size, colony_size, max_iter, rng):
    """The embedding pipeline after the quadtree, driven by `rng`.

    Returns (stego, rows, columns, bits) as embed_with_details would.
    """
    pool = [(int(y), int(x)) for y, x in pool]
    indices = run_colony(score_table(image, pool), payload_size, colony_size, max_iter, rng)
    coords = [pool[i] for i in indices]
    bits = [rng.next_bit() for _ in range(payload_size)]
    stego = lsb_matching(image, coords, bits, rng)
    rows = np.array([c[0] for c in coords], dtype=np.int64)
    cols = np.array([c[1] for c in coords], dtype=np.int64)
    return stego, rows, cols, np.array(bits, dtype=np.uint8)
