// Loops that compilers vectorise only with wider instruction sets than the
// x86-64 baseline (64-bit integer comparisons, masked blends, four doubles a
// step) get an AVX2 build besides the baseline one, picked when the module
// loads (as NumPy dispatches its own loops).  AVX2 brings no fused
// multiply-add, and -ffp-contract=off holds for every clone: results stay
// bit for bit those of the baseline build.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(__clang__)
#define BRINVALE_WIDE_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define BRINVALE_WIDE_LOOP
#endif
