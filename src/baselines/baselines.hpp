// The field's baseline embedding methods, simulated as conseal 2025.11
// simulates them, with NumPy's generators drawn as conseal draws them:
//   lsbm      LSB matching at random positions (conseal.lsb.simulate with
//             modify=LSB_MATCHING): every pixel changes with the same rate
//   hill      HILL       } the payload-limited ternary sender on the
//   suniward  S-UNIWARD  } method's costs (costs.hpp, sender.hpp), changes
//   wow       WOW        } drawn from default_rng(seed) in row-major order
//   mipod     MiPOD: change rates of its own search (mipod.hpp), changes
//             drawn from RandomState(seed) in column-major order
// A simulation is split into a per-cover part (Prepared: the costs or the
// Fisher information), and a per-payload part (probabilities and draws), so
// that a study computes each cover's costs once for all of its payloads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "baselines/mipod.hpp"
#include "baselines/sender.hpp"
#include "core/error.hpp"
#include "core/image_view.hpp"

namespace velmora::baselines {

enum class Method { lsbm, hill, suniward, wow, mipod };

std::optional<Method> parse_method(std::string_view name);
std::string_view method_name(Method method);
// Whether the method has cost maps (HILL, S-UNIWARD, WOW).
bool has_costs(Method method);
// The largest payload in bits per pixel a method may be asked for: log2(3)
// for the ternary methods, 1 for LSB matching.
double max_alpha(Method method);

// A cover and what its payloads share, row-major: the costs of +1 and -1
// changes (HILL in `plus32`/`minus32`, S-UNIWARD and WOW in `plus`/`minus`),
// or MiPOD's Fisher information in `plus`; nothing for LSB matching. The
// cover is copied.
// The senders keep what the payloads share (buffers, the bins of their
// estimates); a Prepared is therefore used by one thread at a time.
struct Prepared {
  Method method = Method::lsbm;
  std::size_t rows = 0, cols = 0;
  std::vector<std::uint8_t> cover;
  std::vector<float> plus32, minus32;
  std::vector<double> plus, minus;
  std::unique_ptr<TernarySender<float>> sender32;
  std::unique_ptr<TernarySender<double>> sender64;
  std::unique_ptr<MipodSender> mipod;
};

Prepared prepare(const ImageView& cover, Method method, const CancelCheck& cancel = {});

// The probabilities of a +1 and of a -1 change of each pixel at alpha bits
// per pixel (float for HILL, double otherwise; the other pair is left
// empty). Zero everywhere at alpha 0. `reached` is false when the payload is
// beyond what the cover carries.
struct Probabilities {
  std::vector<float> plus32, minus32;
  std::vector<double> plus, minus;
  bool reached = true;
  Search search;  // how the search went (nothing for LSB matching)
};

Probabilities change_probabilities(Prepared& prepared, double alpha,
                                   const CancelCheck& cancel = {});

// The stego image (row-major) of conseal's simulation with `seed` (below
// 2^32 for MiPOD, whose RandomState takes no more); at alpha 0 the cover.
// Empty when the payload is beyond what the cover carries.
std::vector<std::uint8_t> simulate(Prepared& prepared, double alpha, std::uint64_t seed,
                                   const CancelCheck& cancel = {});

}  // namespace velmora::baselines
