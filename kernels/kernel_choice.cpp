#include <cstdlib>
#include <cstring>

#include "euc_jp.hpp"
#include "kernel_set.hpp"
#include "shift_jis.hpp"

extern const KernelSet PORTABLE_KERNELS;
#if defined(WIDE_KERNELS)
extern const KernelSet SSE2_KERNELS;
extern const KernelSet AVX2_KERNELS;
extern const KernelSet AVX512_KERNELS;
#endif

namespace {

// Every set built, narrowest first, each with whether this processor (and its operating system,
// which must save the wider registers) can run it.
struct Candidate {
  const KernelSet* set;
  bool runnable;
};

struct Runnable {
  const KernelSet* sets[4];
  std::size_t count;
};

Runnable find_runnable() noexcept {
  const Candidate candidates[] = {
    {&PORTABLE_KERNELS, true},
#if defined(WIDE_KERNELS)
    {&SSE2_KERNELS, __builtin_cpu_supports("sse2") != 0},
    {&AVX2_KERNELS, __builtin_cpu_supports("avx2") != 0},
    {&AVX512_KERNELS, __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi") &&
                          __builtin_cpu_supports("avx512vbmi2")},
#endif
  };
  Runnable runnable{{}, 0};
  for (const Candidate& candidate : candidates) {
    if (candidate.runnable) {
      runnable.sets[runnable.count++] = candidate.set;
    }
  }
  return runnable;
}

}  // namespace

const KernelSet& kernel_set_named(std::span<const KernelSet* const> runnable,
                                  const char* wanted) noexcept {
  if (wanted != nullptr) {
    for (const KernelSet* set : runnable) {
      if (std::strcmp(set->name, wanted) == 0) {
        return *set;
      }
    }
  }
  // A name that is no runnable set's is a set wider than all this processor runs, or none.
  return *runnable.back();
}

std::span<const KernelSet* const> runnable_kernel_sets() noexcept {
  static const Runnable runnable = find_runnable();
  return {runnable.sets, runnable.count};
}

const KernelSet& chosen_kernel_set() noexcept {
  static const KernelSet& chosen =
      kernel_set_named(runnable_kernel_sets(), std::getenv(KERNEL_SET_VARIABLE));
  return chosen;
}

const char* chosen_kernel_set_name() noexcept {
  return chosen_kernel_set().name;
}

int is_shift_jis(const unsigned char* image, std::size_t size) noexcept {
  return chosen_kernel_set().is_shift_jis(image, size);
}

void shift_jis_to_euc_jp(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  chosen_kernel_set().shift_jis_to_euc_jp(image, size, sink);
}

int is_euc_jp(const unsigned char* image, std::size_t size) noexcept {
  return chosen_kernel_set().is_euc_jp(image, size);
}

void euc_jp_to_shift_jis(const unsigned char* image, std::size_t size, ByteSink& sink) noexcept {
  chosen_kernel_set().euc_jp_to_shift_jis(image, size, sink);
}

int is_shift_jis_with_ibm_extensions(const unsigned char* image, std::size_t size) noexcept {
  return chosen_kernel_set().is_shift_jis_with_ibm_extensions(image, size);
}

void shift_jis_to_euc_jp_with_ibm_extensions(const unsigned char* image, std::size_t size,
                                             ByteSink& sink) noexcept {
  chosen_kernel_set().shift_jis_to_euc_jp_with_ibm_extensions(image, size, sink);
}

int is_euc_jp_with_ibm_extensions(const unsigned char* image, std::size_t size) noexcept {
  return chosen_kernel_set().is_euc_jp_with_ibm_extensions(image, size);
}

void euc_jp_to_shift_jis_with_ibm_extensions(const unsigned char* image, std::size_t size,
                                             ByteSink& sink) noexcept {
  chosen_kernel_set().euc_jp_to_shift_jis_with_ibm_extensions(image, size, sink);
}
