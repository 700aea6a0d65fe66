// What every implementation of the platform layer shares: written once, in
// Common.cpp (with the parts of the interface that need no system call) and
// Faults.cpp (the hooks of the tests).
#pragma once

#include <cstdint>
#include <string>

namespace varnex::platform {

// Puts text into *reason when reason is not null.
void SetReason(std::string* reason, const std::string& text);
// (std::to_string would export a table of the standard library's.)
std::string Decimal(uint64_t value);

}  // namespace varnex::platform
