// MiPOD (Sedighi, Cogranne and Fridrich, 2016) as conseal 2025.11 runs it:
// the smoothed Fisher information of the cover (a Wiener filter's residual,
// its local variance from the projection onto the residual space of 45 DCT
// basis vectors in 9 x 9 blocks, 7 x 7 smoothing), and the change rates of
// its payload-limited search (ternary_probs with 60 bisection steps and 20
// fixed-point steps beyond the lookup table).
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "baselines/sender.hpp"
#include "core/error.hpp"
#include "core/image_view.hpp"

namespace velmora::baselines {

// The Fisher information of each pixel, row-major
// (conseal.mipod.compute_cost).
std::vector<double> mipod_fisher_information(const ImageView& image,
                                             const CancelCheck& cancel = {});

class MipodEstimate;

// The sender of one cover: its Fisher information (copied, column-major) and
// what its payloads share.
class MipodSender {
 public:
  MipodSender(std::span<const double> fisher, std::size_t rows, std::size_t cols);
  MipodSender(MipodSender&&) noexcept;
  ~MipodSender();
  // The change rate beta of each pixel (of +1 and of -1 alike), row-major,
  // for alpha bits per pixel. Not reached when the search cannot bracket the
  // payload (conseal's loop would not end).
  Search change_rates(double alpha, std::span<double> beta, const CancelCheck& cancel = {});
  // MiPOD's ternary entropy in nats at lambda, evaluated in full, and its
  // estimate (estimates.hpp), over this cover's pixels.
  double entropy(double lambda);
  const MipodEstimate& estimate();

 private:
  std::size_t rows_, cols_;
  std::vector<double> fisher_f_;
  std::vector<double> terms_, sum_;
  std::unique_ptr<MipodEstimate> estimate_;
};

// The lookup table of x log(x - 2) for y = 0, 0.01, ..., 1000 that MiPOD
// inverts (100,001 values), and the 81 x 81 projection (row-major).
std::span<const double> mipod_lookup_table();
std::span<const double> mipod_projection();

}  // namespace velmora::baselines
