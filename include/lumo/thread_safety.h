// Lock annotations for clang's -Wthread-safety analysis: which lock guards a field,
// which lock a function needs or takes, and the order of locks. They expand to nothing
// for other compilers, so they cost nothing and only document there.
#pragma once

#if defined(__clang__)
#define CL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CL_THREAD_ANNOTATION(x)
#endif

// On a lock class: its objects are locks the analysis tracks.
#define CL_CAPABILITY(name) CL_THREAD_ANNOTATION(capability(name))
// On a scope guard class: it holds a lock for its lifetime.
#define CL_SCOPED_CAPABILITY CL_THREAD_ANNOTATION(scoped_lockable)
// On a field: read and written only with the lock held.
#define CL_GUARDED_BY(x) CL_THREAD_ANNOTATION(guarded_by(x))
// On a pointer field: what it points to is read and written only with the lock held.
#define CL_PT_GUARDED_BY(x) CL_THREAD_ANNOTATION(pt_guarded_by(x))
// On a lock field: taken after (or before) the locks named.
#define CL_ACQUIRED_AFTER(...) CL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define CL_ACQUIRED_BEFORE(...) CL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// On a function: the caller holds (or must not hold) the locks named.
#define CL_REQUIRES(...) CL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define CL_EXCLUDES(...) CL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// On a function: it takes, releases or tries to take the locks named (none: `this`).
#define CL_ACQUIRE(...) CL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define CL_RELEASE(...) CL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define CL_TRY_ACQUIRE(...) CL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// On a function: it returns the lock named.
#define CL_RETURN_CAPABILITY(x) CL_THREAD_ANNOTATION(lock_returned(x))
// On a function: asserts, without the analysis seeing why, that the lock is held.
#define CL_ASSERT_CAPABILITY(x) CL_THREAD_ANNOTATION(assert_capability(x))
// On a function the analysis cannot follow (locks handed between scopes or threads).
#define CL_NO_THREAD_SAFETY_ANALYSIS CL_THREAD_ANNOTATION(no_thread_safety_analysis)
