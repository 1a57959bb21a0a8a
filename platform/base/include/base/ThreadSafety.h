#pragma once

// Lock annotations that clang checks (-Wthread-safety, on in the clang
// builds): which lock guards a member, which locks a function needs, takes or
// lets go of. Under other compilers they expand to nothing.
//
//   class KX_CAPABILITY("mutex") Mutex { void lock() KX_ACQUIRE(); ... };
//   class KX_SCOPED_CAPABILITY LockGuard { ... };   // takes in its constructor
//   std::deque<Block> pending_ KX_GUARDED_BY(mutex_);
//   void startReadyLocked() KX_REQUIRES(mutex_);
//   Mutex& lock() KX_RETURN_CAPABILITY(mutex_);     // a getter of the lock
//
// The check is local to each function: a lock taken by one function and let
// go by another is said so on both (KX_ACQUIRE, KX_RELEASE), and a function
// whose locking the check cannot follow (a lock's own implementation, a hold
// it takes or not at run time) is marked KX_NO_THREAD_SAFETY_ANALYSIS with a
// line that says why. Lambdas are functions of their own: one that reads
// guarded members under its caller's lock says KX_REQUIRES too.

#if defined(__clang__)
#define KX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KX_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define KX_CAPABILITY(name) KX_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock from their construction to their
// destruction (a guard).
#define KX_SCOPED_CAPABILITY KX_THREAD_ANNOTATION(scoped_lockable)

// A member read or written only under `lock`; what a pointer member points to
// read or written only under `lock`.
#define KX_GUARDED_BY(lock) KX_THREAD_ANNOTATION(guarded_by(lock))
#define KX_PT_GUARDED_BY(lock) KX_THREAD_ANNOTATION(pt_guarded_by(lock))

// A function called with the locks held; one called without them.
#define KX_REQUIRES(...) KX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KX_EXCLUDES(...) KX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// A function that takes the locks (the object itself when none is named) and
// returns holding them; one that lets them go; one that takes them when it
// returns `success`.
#define KX_ACQUIRE(...) KX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KX_RELEASE(...) KX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KX_TRY_ACQUIRE(...) KX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))

// A function that returns (a reference to) `lock`.
#define KX_RETURN_CAPABILITY(lock) KX_THREAD_ANNOTATION(lock_returned(lock))
// A function after which the check takes `lock` as held: one that stops the
// process unless the calling thread holds it (base::Mutex::assertHeld, which
// checks in builds with assertions).
#define KX_ASSERT_CAPABILITY(lock) KX_THREAD_ANNOTATION(assert_capability(lock))

// Turns the check off for one function; always with a line saying why.
#define KX_NO_THREAD_SAFETY_ANALYSIS KX_THREAD_ANNOTATION(no_thread_safety_analysis)
