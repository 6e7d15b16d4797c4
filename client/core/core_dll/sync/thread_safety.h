// Clang's thread-safety attributes, empty for other compilers. The
// thread-safety preset builds with -Wthread-safety -Werror=thread-safety, so a
// member GUARDED_BY a mutex that is read or written without holding it, or a
// function that REQUIRES one called without it, fails that build.
#pragma once

#if defined(__clang__)
#define OSTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OSTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OSTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OSTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) OSTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) OSTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OSTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) OSTREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) OSTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) OSTREL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) OSTREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS OSTREL_THREAD_ANNOTATION(no_thread_safety_analysis)
