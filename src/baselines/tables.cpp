// MiPOD's constant tables, embedded from data/ (see tools/make_mipod_tables.py
// for where they come from): raw little-endian doubles, assembled into
// read-only data by the assembler's .incbin.
#include <bit>
#include <cstddef>
#include <span>

#include "baselines/mipod.hpp"

#ifndef VELMORA_BASELINE_DATA_DIR
#error "VELMORA_BASELINE_DATA_DIR must name the folder of the MiPOD tables"
#endif

static_assert(std::endian::native == std::endian::little,
              "the embedded tables are little-endian doubles");

#define VELMORA_EMBED(symbol, file)                   \
  __asm__(                                            \
      ".section .rodata\n"                            \
      ".balign 64\n"                                  \
      ".hidden " #symbol                              \
      "\n"                                            \
      ".globl " #symbol "\n" #symbol                  \
      ":\n"                                           \
      ".incbin \"" VELMORA_BASELINE_DATA_DIR "/" file \
      "\"\n"                                          \
      ".previous\n")

VELMORA_EMBED(velmora_mipod_lookup_table, "ixlnx3.f64");
VELMORA_EMBED(velmora_mipod_projection, "mipod_projection.f64");

extern "C" const double velmora_mipod_lookup_table[100001];
extern "C" const double velmora_mipod_projection[81 * 81];

namespace velmora::baselines {

std::span<const double> mipod_lookup_table() {
  return {velmora_mipod_lookup_table, 100001};
}
std::span<const double> mipod_projection() {
  return {velmora_mipod_projection, 81 * 81};
}

}  // namespace velmora::baselines
