#include "baselines/baselines.hpp"

#include <cmath>

#include "baselines/costs.hpp"
#include "random/numpy_generators.hpp"

namespace velmora::baselines {

namespace {

constexpr double kLog2Of3 = 1.5849625007211562;

// conseal.lsb.probability(cover, alpha, modify=LSB_MATCHING): a change rate
// of ceil(ceil(alpha n) / 2) / n, split evenly between +1 and -1 except at
// the ends of the range, where the whole rate goes the one possible way.
void lsbm_probabilities(const Prepared& c, double alpha, std::vector<double>& plus,
                        std::vector<double>& minus) {
  const std::size_t n = c.cover.size();
  plus.assign(n, 0.0);
  minus.assign(n, 0.0);
  if (!(alpha > 0)) return;
  const double involved = std::ceil(alpha * static_cast<double>(n));
  const double changes = std::ceil(involved / 2);
  const double rate = changes / static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t v = c.cover[i];
    plus[i] = v == 255 ? 0.0 : v == 0 ? rate : rate / 2;
    minus[i] = v == 0 ? 0.0 : v == 255 ? rate : rate / 2;
  }
}

// _ternary.simulate(ps, seed=seed) added to the cover: u < p+ gives +1,
// p+ <= u < p+ + p- (the sum in T) gives -1, in uint8 arithmetic.
template <class T>
std::vector<std::uint8_t> draw_ternary(const Prepared& c, const std::vector<T>& plus,
                                       const std::vector<T>& minus, std::uint64_t seed) {
  NumpyPcg64 rng(seed);
  std::vector<std::uint8_t> stego = c.cover;
  for (std::size_t i = 0; i < stego.size(); ++i) {
    const double u = rng.next_double();
    const double pp = static_cast<double>(plus[i]);
    if (u < pp) {
      stego[i] = static_cast<std::uint8_t>(stego[i] + 1);
    } else if (u < static_cast<double>(static_cast<T>(plus[i] + minus[i]))) {
      stego[i] = static_cast<std::uint8_t>(stego[i] - 1);
    }
  }
  return stego;
}

// mipod.simulate_single_channel's draw (MiPOD_FIX_WET): in column-major
// order, a pixel changes where a first uniform falls below 2 beta; a second
// uniform per pixel, rounded as Matlab rounds, picks +1 (round 1) or -1;
// values pushed past 255 or below 0 become 254 or 1.
std::vector<std::uint8_t> draw_mipod(const Prepared& c, const std::vector<double>& beta,
                                     std::uint32_t seed) {
  const std::size_t rows = c.rows, cols = c.cols, n = rows * cols;
  NumpyMt19937 rng(seed);
  std::vector<bool> modify(n);
  for (std::size_t x = 0; x < cols; ++x)
    for (std::size_t y = 0; y < rows; ++y)
      modify[x * rows + y] = rng.next_double() < 2 * beta[y * cols + x];
  // np.isclose(r, 0.5): |r - 0.5| <= atol + rtol * 0.5.
  constexpr double kTolerance = 1e-08 + 1e-05 * 0.5;
  std::vector<std::uint8_t> stego = c.cover;
  for (std::size_t x = 0; x < cols; ++x) {
    for (std::size_t y = 0; y < rows; ++y) {
      const double r = rng.next_double();
      if (!modify[x * rows + y]) continue;
      const bool up = r > 0 && (r >= 0.5 || std::fabs(r - 0.5) <= kTolerance);
      const int v = stego[y * cols + x] + (up ? 1 : -1);
      stego[y * cols + x] = static_cast<std::uint8_t>(v > 255 ? 254 : v < 0 ? 1 : v);
    }
  }
  return stego;
}

// Whether a change out of the range (+1 at 255, -1 at 0) has a probability
// above 0: the wet cost failed to forbid it, which only a lambda so small
// that the payload is beyond the cover's reach does (conseal would then let
// 255 wrap to 0).
template <class T>
bool leaves_range(const Prepared& c, const std::vector<T>& plus, const std::vector<T>& minus) {
  for (std::size_t i = 0; i < c.cover.size(); ++i) {
    if ((c.cover[i] == 255 && plus[i] > 0) || (c.cover[i] == 0 && minus[i] > 0)) return true;
  }
  return false;
}

}  // namespace

std::optional<Method> parse_method(std::string_view name) {
  if (name == "lsbm") return Method::lsbm;
  if (name == "hill") return Method::hill;
  if (name == "suniward") return Method::suniward;
  if (name == "wow") return Method::wow;
  if (name == "mipod") return Method::mipod;
  return std::nullopt;
}

std::string_view method_name(Method method) {
  switch (method) {
    case Method::lsbm:
      return "lsbm";
    case Method::hill:
      return "hill";
    case Method::suniward:
      return "suniward";
    case Method::wow:
      return "wow";
    case Method::mipod:
      break;
  }
  return "mipod";
}

bool has_costs(Method method) {
  return method == Method::hill || method == Method::suniward || method == Method::wow;
}

double max_alpha(Method method) {
  return method == Method::lsbm ? 1.0 : kLog2Of3;
}

Prepared prepare(const ImageView& cover, Method method, const CancelCheck& cancel) {
  Prepared p;
  p.method = method;
  p.rows = cover.rows();
  p.cols = cover.cols();
  if (cover.empty()) throw InternalError("prepare: empty cover");
  p.cover.resize(p.rows * p.cols);
  for (std::size_t y = 0; y < p.rows; ++y)
    for (std::size_t x = 0; x < p.cols; ++x)
      p.cover[y * p.cols + x] = cover.at(y, x);
  const ImageView view = ImageView::row_major(p.cover.data(), p.rows, p.cols);
  cancel.check();
  switch (method) {
    case Method::lsbm:
      break;
    case Method::hill: {
      auto maps = hill_costs(view);
      p.plus32 = std::move(maps.plus);
      p.minus32 = std::move(maps.minus);
      p.sender32 = std::make_unique<TernarySender<float>>(p.plus32, p.minus32);
      break;
    }
    case Method::suniward:
    case Method::wow: {
      auto maps = method == Method::wow ? wow_costs(view) : suniward_costs(view);
      p.plus = std::move(maps.plus);
      p.minus = std::move(maps.minus);
      p.sender64 = std::make_unique<TernarySender<double>>(p.plus, p.minus);
      break;
    }
    case Method::mipod:
      p.plus = mipod_fisher_information(view, cancel);
      p.mipod = std::make_unique<MipodSender>(p.plus, p.rows, p.cols);
      break;
  }
  return p;
}

Probabilities change_probabilities(Prepared& c, double alpha, const CancelCheck& cancel) {
  Probabilities out;
  const std::size_t n = c.cover.size();
  if (c.method == Method::lsbm) {
    lsbm_probabilities(c, alpha, out.plus, out.minus);
    return out;
  }
  if (c.method == Method::hill) {
    out.plus32.assign(n, 0.0f);
    out.minus32.assign(n, 0.0f);
    if (alpha == 0) return out;
    out.search = c.sender32->probabilities(alpha, out.plus32, out.minus32, cancel);
    out.reached = out.search.reached && !leaves_range(c, out.plus32, out.minus32);
    return out;
  }
  out.plus.assign(n, 0.0);
  out.minus.assign(n, 0.0);
  if (alpha == 0) return out;
  if (c.method == Method::mipod) {
    out.search = c.mipod->change_rates(alpha, out.plus, cancel);
    out.reached = out.search.reached;
    out.minus = out.plus;
    return out;
  }
  out.search = c.sender64->probabilities(alpha, out.plus, out.minus, cancel);
  out.reached = out.search.reached && !leaves_range(c, out.plus, out.minus);
  return out;
}

std::vector<std::uint8_t> simulate(Prepared& c, double alpha, std::uint64_t seed,
                                   const CancelCheck& cancel) {
  // conseal's simulators return the cover at alpha 0 (LSB matching draws, and
  // changes nothing); MiPOD's own search would fail there.
  if (alpha == 0 && c.method != Method::lsbm) return c.cover;
  if (c.method == Method::mipod && seed > 0xffffffffULL)
    throw InternalError("simulate: MiPOD's seed must be below 2^32");
  const Probabilities p = change_probabilities(c, alpha, cancel);
  if (!p.reached) return {};
  cancel.check();
  if (c.method == Method::hill) return draw_ternary(c, p.plus32, p.minus32, seed);
  if (c.method == Method::mipod) return draw_mipod(c, p.plus, static_cast<std::uint32_t>(seed));
  return draw_ternary(c, p.plus, p.minus, seed);
}

}  // namespace velmora::baselines
