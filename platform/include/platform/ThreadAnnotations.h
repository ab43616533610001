// Lock rules the compiler checks: clang's -Wthread-safety reads these attributes; other compilers
// see nothing. `Mutex` and `RWLock` are the annotated locks; their scoped guards are how code takes
// them, so that the analysis knows which lock is held where.
#pragma once
#include <pthread.h>

#include <cerrno>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

// std::mutex with annotations. Waits on a std::condition_variable go through MutexLock::Native().
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { m_mutex.lock(); }
  void Unlock() RELEASE() { m_mutex.unlock(); }
  [[nodiscard]] bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
  // Tells the analysis the lock is held where it cannot see it taken (a condition variable's
  // predicate runs with it held).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex m_mutex;
};

// Holds a Mutex for its scope (unless Unlock()ed); Native() lends the held std::unique_lock to a condition variable
// wait, which gives the lock back before returning.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  std::unique_lock<std::mutex>& Native() { return m_lock; }
  // Lets go for a while (a call that must run unlocked) and takes the mutex again.
  void Unlock() RELEASE() { m_lock.unlock(); }
  void Lock() ACQUIRE() { m_lock.lock(); }

 private:
  std::unique_lock<std::mutex> m_lock;
};

// pthread_rwlock_t with annotations. Constant-initialised, so that a global one is ready before
// any constructor runs and never needs pthread_rwlock_init.
class CAPABILITY("rwlock") RWLock {
 public:
  constexpr RWLock() = default;
  RWLock(const RWLock&) = delete;
  RWLock& operator=(const RWLock&) = delete;
  ~RWLock() { (void)pthread_rwlock_destroy(&m_lock); }  // nothing to do on failure at exit

  // 0 or the errno value pthread returns, so that callers can log the failure in their own text.
  [[nodiscard]] int ReadLock() TRY_ACQUIRE_SHARED(0) { return pthread_rwlock_rdlock(&m_lock); }
  [[nodiscard]] int WriteLock() TRY_ACQUIRE(0) { return pthread_rwlock_wrlock(&m_lock); }
  // EBUSY while anyone holds it.
  [[nodiscard]] int TryWriteLock() TRY_ACQUIRE(0) { return pthread_rwlock_trywrlock(&m_lock); }
  [[nodiscard]] int Unlock() RELEASE_GENERIC() { return pthread_rwlock_unlock(&m_lock); }
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  pthread_rwlock_t m_lock = PTHREAD_RWLOCK_INITIALIZER;
};

// Holds an RWLock for reading for its scope. Ok() is false when the lock could not be taken; the
// analysis then still treats it as held, so a caller that fails must return at once.
class SCOPED_CAPABILITY ReadLock {
 public:
  explicit ReadLock(RWLock& lock) ACQUIRE_SHARED(lock) : m_lock(lock), m_error(lock.ReadLock()) {}
  ~ReadLock() RELEASE() {
    if (m_error == 0) (void)m_lock.Unlock();  // a held lock that will not unlock cannot be mended here
  }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;
  [[nodiscard]] bool Ok() const { return m_error == 0; }
  [[nodiscard]] int Error() const { return m_error; }

 private:
  RWLock& m_lock;
  int m_error;
};

// Holds an RWLock for writing for its scope; Ok() as for ReadLock.
class SCOPED_CAPABILITY WriteLock {
 public:
  explicit WriteLock(RWLock& lock) ACQUIRE(lock) : m_lock(lock), m_error(lock.WriteLock()) {}
  ~WriteLock() RELEASE() {
    if (m_error == 0) (void)m_lock.Unlock();  // a held lock that will not unlock cannot be mended here
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  [[nodiscard]] bool Ok() const { return m_error == 0; }
  [[nodiscard]] int Error() const { return m_error; }

 private:
  RWLock& m_lock;
  int m_error;
};

}  // namespace platform
