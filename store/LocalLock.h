// CListLocalLock: the lock of a list in a process that has no writers' mutex
// (a reader), so that its own threads never map the view again at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CListLocalLock {
 public:
  // Recursive for the thread that holds it; waits at most nTimeoutMs.
  bool TryLockFor(uint32_t nTimeoutMs);
  // False, and nothing changed, when the calling thread does not hold it.
  bool Unlock();

 private:
  std::mutex m_mutex;
  std::condition_variable m_free;
  std::thread::id m_owner;
  uint32_t m_nDepth = 0;
};
