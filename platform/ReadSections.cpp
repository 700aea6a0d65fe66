// Read sections (see ReadSections.h), in standard C++ but for the barrier
// that every system provides its own way.
#include "platform/ReadSections.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/Platform.h"

namespace varnex::platform {

namespace {

// One slot per thread that reads, up to kSlots threads at once; the threads
// beyond share one count, which holds back every retirement while any of
// them reads.
constexpr int kSlots = 256;

struct alignas(64) Slot {
  std::atomic<uint64_t> entered{0};  // the epoch when the section began; 0 outside
  std::atomic<bool> taken{false};
};

Slot g_slots[kSlots];
std::atomic<uint64_t> g_epoch{1};
std::atomic<uint32_t> g_without_slot{0};

// The calling thread's slot and how deep it is in sections: one plain
// thread-local, so that a section costs no call to set it up and one look
// up of the thread's storage.
struct ThreadState {
  Slot* slot;
  uint32_t depth;
  bool looked;
};
thread_local ThreadState t_state = {nullptr, 0, false};

// Gives the slot back when its thread ends (set up once per thread, when it
// claims one).
struct SlotRelease {
  ~SlotRelease() {
    if (t_state.slot != nullptr) t_state.slot->taken.store(false, std::memory_order_release);
    t_state.slot = nullptr;
  }
};
thread_local SlotRelease t_release;

void ClaimSlot(ThreadState& mine) {
  mine.looked = true;
  for (Slot& candidate : g_slots) {
    bool expected = false;
    if (!candidate.taken.load(std::memory_order_relaxed) &&
        candidate.taken.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      (void)&t_release;  // its destructor gives the slot back
      mine.slot = &candidate;
      return;
    }
  }
}

// Whether readers may rely on the barrier of the thread that lets go: -1
// until asked.
std::atomic<int> g_fenced{-1};

bool Fenced() {
  int fenced = g_fenced.load(std::memory_order_relaxed);
  if (fenced < 0) {
    fenced = CanFenceAllThreads() ? 1 : 0;
    g_fenced.store(fenced, std::memory_order_relaxed);
  }
  return fenced != 0;
}

}  // namespace

ReadSection::ReadSection() noexcept {
  ThreadState& mine = t_state;
  if (mine.depth++ > 0) return;
  if (mine.slot == nullptr && !mine.looked) ClaimSlot(mine);
  Slot* slot = mine.slot;
  if (slot == nullptr) {
    g_without_slot.fetch_add(1, std::memory_order_seq_cst);
    return;
  }
  const uint64_t epoch = g_epoch.load(std::memory_order_relaxed);
  if (Fenced()) {
    // The loads of the section come after this store: for the compiler
    // here, and for the processor through the retiring thread's barrier.
    slot->entered.store(epoch, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
  } else {
    slot->entered.exchange(epoch, std::memory_order_seq_cst);  // a full barrier
  }
}

ReadSection::~ReadSection() {
  ThreadState& mine = t_state;
  if (--mine.depth > 0) return;
  if (mine.slot == nullptr) {
    g_without_slot.fetch_sub(1, std::memory_order_release);
  } else {
    mine.slot->entered.store(0, std::memory_order_release);
  }
}

uint64_t RetirementTag() {
  return g_epoch.fetch_add(1, std::memory_order_seq_cst) + 1;
}

uint64_t OldestRunningSection() {
  if (!CanFenceAllThreads()) {
    g_epoch.fetch_add(0, std::memory_order_seq_cst);  // a full barrier
  } else if (!FenceAllThreads()) {
    return 0;  // the sections rely on the barrier: nothing is let go without it
  }
  if (g_without_slot.load(std::memory_order_acquire) != 0) return 0;
  uint64_t oldest = UINT64_MAX;
  for (const Slot& slot : g_slots) {
    const uint64_t entered = slot.entered.load(std::memory_order_acquire);
    if (entered != 0) oldest = std::min(oldest, entered);
  }
  return oldest;
}

bool RetirementOver(uint64_t tag) {
  return tag <= OldestRunningSection();
}

void MappedFile::KeepRetired(uint8_t* address, uint64_t size) {
  try {
    retired_.push_back(RetiredMapping{address, size, 0});
  } catch (...) {
    // No memory to remember it: it stays mapped until the process ends,
    // rather than be let go under a reader.
  }
}

void MappedFile::ReleaseRetired() {
  if (retired_.empty()) return;
  // Those retired since the last call have been unpublished by now.
  uint64_t newest = 0;
  for (RetiredMapping& mapping : retired_) {
    if (mapping.tag == 0) mapping.tag = newest != 0 ? newest : (newest = RetirementTag());
  }
  const uint64_t oldest_section = OldestRunningSection();
  auto kept = retired_.begin();
  for (RetiredMapping& mapping : retired_) {
    if (mapping.tag <= oldest_section) {
      Unmap(mapping.address, mapping.size);
    } else {
      *kept++ = mapping;
    }
  }
  retired_.erase(kept, retired_.end());
}

}  // namespace varnex::platform
