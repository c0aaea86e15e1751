#pragma once

// Loops that vectorise are compiled for AVX-512, AVX2 and any x86-64, and the widest the
// processor has is chosen when the program loads (the FFT picks its build the same way).
// Defining QUORVANE_NO_DISPATCH compiles them once, for any x86-64, and keeps the FFT on its
// plain build: for tools whose runtime is not ready when the loader picks (ThreadSanitizer).
// Other processors than x86-64 get one build, for themselves.
#if defined(QUORVANE_NO_DISPATCH) || !defined(__x86_64__)
#define QUORVANE_CLONES
#else
#define QUORVANE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif
