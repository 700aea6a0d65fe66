// The hooks through which tests make calls of the platform layer fail; every
// implementation of the layer shares them (see InjectFault in Platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace varnex::platform {

// Consumes one injected failure of that kind, if any is left (always false
// without VARNEX_FAULT_INJECTION).
bool ShouldFail(Fault fault);
// Counts a flush that wrote (for FlushCount).
void CountFlush();
// Tells the hook of the tests of a write-back that the platform waits for:
// before it (done false) and once it succeeded (done true).
void NoteSync(const SyncNote& note, bool done);
// The boot identity that a test that simulates a restart of the machine
// gives its run (VARNEX_TEST_BOOT_IDENTITY), copied into bytes (size bytes,
// zero-padded); false without one, and always without
// VARNEX_FAULT_INJECTION.
bool TestBootIdentity(uint8_t* bytes, size_t size);

}  // namespace varnex::platform
