// FNV-1a over bytes: how the implementations of the platform layer sum up
// what decides a locale's folding (see CaseFoldingIdentity).
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnex::platform {

class Fnv1a {
 public:
  void Add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) hash_ = (hash_ ^ bytes[i]) * 0x100000001b3ULL;
  }
  // The sum, never 0.
  uint64_t NonZero() const { return hash_ != 0 ? hash_ : 1; }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace varnex::platform
