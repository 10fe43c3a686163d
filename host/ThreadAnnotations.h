// Lock annotations that clang's -Wthread-safety checks (no effect elsewhere).
//
// They document which lock guards a member and which locks a function needs;
// other compilers ignore them, so they are documentation there.
#pragma once

#if defined(__clang__)
#define KELCACHE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KELCACHE_THREAD_ANNOTATION(x)
#endif

#define KELCACHE_GUARDED_BY(x) KELCACHE_THREAD_ANNOTATION(guarded_by(x))
#define KELCACHE_PT_GUARDED_BY(x) KELCACHE_THREAD_ANNOTATION(pt_guarded_by(x))
#define KELCACHE_ACQUIRED_AFTER(...) KELCACHE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define KELCACHE_REQUIRES(...) KELCACHE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KELCACHE_EXCLUDES(...) KELCACHE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
