#pragma once
// Clang's thread-safety annotations. Other compilers see nothing; a build with clang and
// -Wthread-safety checks that guarded fields are touched only with their mutex held and that
// functions are called with the locks they require.
//
// Conventions: a field is marked with the mutex that guards it (TARNIX_GUARDED_BY), a function
// that expects its caller to hold a mutex is marked TARNIX_REQUIRES and its name ends in
// "Locked"; a function that takes the mutex itself is marked TARNIX_EXCLUDES where calling it
// with the mutex held would deadlock.

#if defined(__clang__)
#define TARNIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARNIX_THREAD_ANNOTATION(x)
#endif

#define TARNIX_CAPABILITY(x) TARNIX_THREAD_ANNOTATION(capability(x))
#define TARNIX_SCOPED_CAPABILITY TARNIX_THREAD_ANNOTATION(scoped_lockable)
#define TARNIX_GUARDED_BY(x) TARNIX_THREAD_ANNOTATION(guarded_by(x))
#define TARNIX_PT_GUARDED_BY(x) TARNIX_THREAD_ANNOTATION(pt_guarded_by(x))
#define TARNIX_ACQUIRED_BEFORE(...) TARNIX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TARNIX_ACQUIRED_AFTER(...) TARNIX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TARNIX_REQUIRES(...) TARNIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TARNIX_ACQUIRE(...) TARNIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TARNIX_RELEASE(...) TARNIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TARNIX_TRY_ACQUIRE(...) TARNIX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TARNIX_EXCLUDES(...) TARNIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TARNIX_ASSERT_CAPABILITY(x) TARNIX_THREAD_ANNOTATION(assert_capability(x))
#define TARNIX_RETURN_CAPABILITY(x) TARNIX_THREAD_ANNOTATION(lock_returned(x))
#define TARNIX_NO_THREAD_SAFETY_ANALYSIS TARNIX_THREAD_ANNOTATION(no_thread_safety_analysis)
