#include "store/LocalLock.h"

#include <chrono>

bool CListLocalLock::TryLockFor(uint32_t nTimeoutMs) {
  const std::thread::id me = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_nDepth > 0 && m_owner == me) {
    ++m_nDepth;
    return true;
  }
  if (!m_free.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                       [this] { return m_nDepth == 0; })) {
    return false;
  }
  m_owner = me;
  m_nDepth = 1;
  return true;
}

bool CListLocalLock::Unlock() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_nDepth == 0 || m_owner != std::this_thread::get_id()) return false;
  if (--m_nDepth == 0) {
    m_owner = std::thread::id();
    m_free.notify_one();
  }
  return true;
}
