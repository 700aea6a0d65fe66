// Read sections: when memory that threads read without a lock may be let
// go. A thread that reads through a pointer that another thread may
// replace (a mapping of a list file, say) does so inside a ReadSection; the
// thread that replaces the pointer publishes the new one first, then takes
// a RetirementTag, and lets the old memory go once RetirementOver says that
// no section that could have seen it is still running.
//
// Entering and leaving a section costs two plain stores to memory of the
// thread's own where the system can make every thread pass a barrier on
// request (FenceAllThreads): the rare thread that lets memory go pays for
// the barrier instead. Elsewhere a section costs one full barrier.
#pragma once

#include <cstdint>

namespace varnex::platform {

class ReadSection {
 public:
  ReadSection() noexcept;
  ~ReadSection();
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
};

// Taken after the memory to let go was unpublished: a section that begins
// after this sees only what was published instead.
uint64_t RetirementTag();
// True when no section that began before `tag` was taken is still running.
bool RetirementOver(uint64_t tag);
// The epoch in which the oldest section still running began: every tag up
// to it is over (UINT64_MAX when none runs, 0 when none can be told over).
uint64_t OldestRunningSection();

}  // namespace varnex::platform
