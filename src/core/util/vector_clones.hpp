// QORIN_VECTOR_CLONES compiles a hot loop function twice, for AVX2 and for
// the baseline instruction set, and picks one when the module loads. Wider
// vectors change which elements are computed together, never an operation or
// the order of a sum (no fused multiply-add: contraction stays off), so both
// give the same bits on every machine.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define QORIN_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QORIN_VECTOR_CLONES
#endif
