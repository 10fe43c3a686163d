// Lock annotations that clang's -Wthread-safety checks (no effect elsewhere).
//
// They say which lock guards a member, which locks a function needs or takes,
// and in which order nested locks are taken. The clang build of
// scripts/run-tests.sh (KELCACHE_THREAD_SAFETY_ANALYSIS) turns every finding
// into an error; other compilers ignore the annotations, so they are
// documentation there.
#pragma once

#if defined(__clang__)
#define KELCACHE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KELCACHE_THREAD_ANNOTATION(x)
#endif

// On a lock type, and on a guard type that holds a lock for its scope.
#define KELCACHE_CAPABILITY(name) KELCACHE_THREAD_ANNOTATION(capability(name))
#define KELCACHE_SCOPED_CAPABILITY KELCACHE_THREAD_ANNOTATION(scoped_lockable)

// On members.
#define KELCACHE_GUARDED_BY(x) KELCACHE_THREAD_ANNOTATION(guarded_by(x))
#define KELCACHE_PT_GUARDED_BY(x) KELCACHE_THREAD_ANNOTATION(pt_guarded_by(x))
#define KELCACHE_ACQUIRED_AFTER(...) KELCACHE_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define KELCACHE_ACQUIRED_BEFORE(...) KELCACHE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// On functions.
#define KELCACHE_REQUIRES(...) KELCACHE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KELCACHE_REQUIRES_SHARED(...) KELCACHE_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define KELCACHE_EXCLUDES(...) KELCACHE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KELCACHE_ACQUIRE(...) KELCACHE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KELCACHE_ACQUIRE_SHARED(...) KELCACHE_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define KELCACHE_RELEASE(...) KELCACHE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KELCACHE_RELEASE_SHARED(...) KELCACHE_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KELCACHE_RELEASE_GENERIC(...) KELCACHE_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define KELCACHE_TRY_ACQUIRE(...) KELCACHE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KELCACHE_TRY_ACQUIRE_SHARED(...) KELCACHE_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
// The function checks or knows that the calling thread holds the lock; the
// analysis takes it as held from there on (lambdas that run under their
// caller's lock use this).
#define KELCACHE_ASSERT_CAPABILITY(x) KELCACHE_THREAD_ANNOTATION(assert_capability(x))
#define KELCACHE_ASSERT_SHARED_CAPABILITY(x) KELCACHE_THREAD_ANNOTATION(assert_shared_capability(x))
#define KELCACHE_RETURN_CAPABILITY(x) KELCACHE_THREAD_ANNOTATION(lock_returned(x))
// Only for code whose locking the analysis cannot follow; say why at each use.
#define KELCACHE_NO_THREAD_SAFETY_ANALYSIS KELCACHE_THREAD_ANNOTATION(no_thread_safety_analysis)
