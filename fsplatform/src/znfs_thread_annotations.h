#ifndef ZNFS_THREAD_ANNOTATIONS_H
#define ZNFS_THREAD_ANNOTATIONS_H

// Annotations for clang's thread-safety analysis (-Wthread-safety). They say which mutex
// guards which data and which functions expect a mutex held, and clang checks every access
// against them at compile time; other compilers see nothing. Internal to this project: the
// service and the command use them through znfs_mutex.h, and no public header carries them.
//
//   GUARDED_BY(mu)       the data is read and written only with mu held
//   PT_GUARDED_BY(mu)    the data a pointer points to likewise (the pointer itself is free)
//   REQUIRES(mu...)      the caller holds mu when it calls the function
//   EXCLUDES(mu...)      the caller does not hold mu (the function takes it)
//   ACQUIRE(mu...)       the function takes mu and returns with it held
//   RELEASE(mu...)       the function releases mu
//   CAPABILITY(name)     the class is a mutex
//   SCOPED_CAPABILITY    the class holds a mutex for its lifetime (a scoped lock)
//   NO_THREAD_SAFETY_ANALYSIS  the function is not checked (say why where it is used)

#if defined(__clang__)
#define ZNFS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZNFS_THREAD_ANNOTATION(x)
#endif

#ifndef GUARDED_BY
#define GUARDED_BY(x) ZNFS_THREAD_ANNOTATION(guarded_by(x))
#endif

#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) ZNFS_THREAD_ANNOTATION(pt_guarded_by(x))
#endif

#ifndef REQUIRES
#define REQUIRES(...) ZNFS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif

#ifndef EXCLUDES
#define EXCLUDES(...) ZNFS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif

#ifndef ACQUIRE
#define ACQUIRE(...) ZNFS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif

#ifndef RELEASE
#define RELEASE(...) ZNFS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) ZNFS_THREAD_ANNOTATION(capability(x))
#endif

#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY ZNFS_THREAD_ANNOTATION(scoped_lockable)
#endif

#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS ZNFS_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif

#endif
