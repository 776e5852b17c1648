#pragma once

#include <cstddef>
#include <span>

#include "byte_sink.hpp"

// The validators and transcoders of both directions built for one instruction set, without and
// with IBM's extensions. Each keeps the contract of the function of the same name in shift_jis.hpp
// and euc_jp.hpp, which call the set chosen for the processor.
struct KernelSet {
  using Validator = int (*)(const unsigned char* image, std::size_t size) noexcept;
  using Transcoder = void (*)(const unsigned char* image, std::size_t size,
                              ByteSink& sink) noexcept;

  const char* name;
  Validator is_shift_jis;
  Transcoder shift_jis_to_euc_jp;
  Validator is_euc_jp;
  Transcoder euc_jp_to_shift_jis;
  Validator is_shift_jis_with_ibm_extensions;
  Transcoder shift_jis_to_euc_jp_with_ibm_extensions;
  Validator is_euc_jp_with_ibm_extensions;
  Transcoder euc_jp_to_shift_jis_with_ibm_extensions;
};

// The environment variable that narrows the choice: naming a set ("portable", "sse2", "avx2",
// "avx512") makes the widest runnable set no wider than it the chosen one, so that tests and
// measurements can run the narrower sets on a wide processor.
inline constexpr const char* KERNEL_SET_VARIABLE = "CONVERTER_KERNELS";

// The sets this processor can run, narrowest first; the portable set is always the first.
[[nodiscard]] std::span<const KernelSet* const> runnable_kernel_sets() noexcept;

// Of the runnable sets, narrowest first: the one named wanted, or the widest where wanted is null
// or names no runnable set.
[[nodiscard]] const KernelSet& kernel_set_named(std::span<const KernelSet* const> runnable,
                                                const char* wanted) noexcept;

// The set the functions of shift_jis.hpp and euc_jp.hpp use, chosen once per process: the widest
// runnable set, narrowed by KERNEL_SET_VARIABLE.
[[nodiscard]] const KernelSet& chosen_kernel_set() noexcept;

// The name of the chosen set.
[[nodiscard]] const char* chosen_kernel_set_name() noexcept;
