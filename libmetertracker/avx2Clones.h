/* AVX2_CLONES before a function builds it twice, and the program loader picks one by the
 * processor: with AVX2 (twice the vector lanes) where it has it, plain otherwise. Neither
 * build fuses multiply and add, so both give the same numbers.
 *
 * Only on x86-64, and not under ThreadSanitizer: the loader runs the picker before the
 * sanitizer's runtime is up, and the instrumented picker crashes the program at load.
 */
#ifndef BEATLUME_AVX2CLONES_H
#define BEATLUME_AVX2CLONES_H

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BEATLUME_NO_CLONES 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define BEATLUME_NO_CLONES 1
#endif

#if defined(__x86_64__) && !defined(BEATLUME_NO_CLONES)
#define AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define AVX2_CLONES
#endif

#endif
