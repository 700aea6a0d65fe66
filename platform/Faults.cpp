// Injected failures (see Faults.h), shared by every implementation of the
// platform layer.
#include "platform/Faults.h"

#include <atomic>
#include <cstdlib>

namespace varnex::platform {

#ifdef VARNEX_FAULT_INJECTION
namespace {
std::atomic<int> g_faults[4];
std::atomic<uint64_t> g_flushes{0};
}  // namespace

bool ShouldFail(Fault fault) {
  std::atomic<int>& left = g_faults[static_cast<int>(fault)];
  int count = left.load();
  while (count > 0) {
    if (left.compare_exchange_weak(count, count - 1)) return true;
  }
  return false;
}

void CountFlush() {
  g_flushes.fetch_add(1);
}

void InjectFault(Fault fault, int count) {
  g_faults[static_cast<int>(fault)].store(count);
}

uint64_t FlushCount() {
  return g_flushes.load();
}

void ClearFaults() {
  for (auto& count : g_faults) count.store(0);
}

namespace {
std::atomic<SyncHook> g_sync_hook{nullptr};
}  // namespace

void SetSyncHook(SyncHook hook) {
  g_sync_hook.store(hook);
}

void NoteSync(const SyncNote& note, bool done) {
  if (const SyncHook hook = g_sync_hook.load()) hook(note, done);
}

bool TestBootIdentity(uint8_t* bytes, size_t size) {
  const char* run = std::getenv("VARNEX_TEST_BOOT_IDENTITY");
  if (run == nullptr) return false;
  for (size_t i = 0; i < size && run[i] != '\0'; ++i) bytes[i] = static_cast<uint8_t>(run[i]);
  return true;
}
#else
void SetSyncHook(SyncHook) {}
void NoteSync(const SyncNote&, bool) {}
bool ShouldFail(Fault) {
  return false;
}
bool TestBootIdentity(uint8_t*, size_t) {
  return false;
}
void CountFlush() {}
void InjectFault(Fault, int) {}
uint64_t FlushCount() {
  return 0;
}
void ClearFaults() {}
#endif

}  // namespace varnex::platform
