// Loops that compilers vectorise only with wider instruction sets than the
// x86-64 baseline (64-bit integer comparisons, masked blends) are built once
// per set and picked when the module loads.  None of these sets is allowed
// to fuse multiplies and adds: -ffp-contract=off holds for every clone.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(__clang__)
#define BRINVALE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define BRINVALE_VECTOR_CLONES
#endif
