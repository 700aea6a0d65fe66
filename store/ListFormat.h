// The list file format as the library keeps it: the public description
// (varnex/VarnexFile.h) and what only the library itself needs.
//
// Damaged files, and how they are treated:
//  - nFormatTag other than 52 when a list is opened: the list is emptied (a
//    read-only holder, which cannot repair it, reads it as empty).
//  - nItemCount negative, or not below the capacity of the whole file: the
//    list reads as empty (count 0, no record readable) and every changing
//    call refuses it. An emptying (ResetFileToEmpty) repairs a count that is
//    too large; a negative count is left as it is and the file must be
//    replaced.
//  - A file of 1 to 23 bytes holds no record: it is given a fresh header and
//    100 slots when it is opened by a process that may write it; otherwise
//    opening it fails.
#pragma once

#include <bit>
#include <cstdint>

#include "varnex/Varnex.h"
#include "varnex/VarnexFile.h"

static_assert(std::endian::native == std::endian::little,
              "the list file is little-endian and is mapped as it stands");

inline constexpr int32_t LIST_TYPE_TRACE = 7;  // the listing match checks windows here
// Mode of a newly created list file (less the umask): every account may read
// it, only its owner may change it.
inline constexpr uint32_t LIST_FILE_MODE = 0644;

// A record is in force at dwNow when its window (start and end inclusive)
// holds it.
inline bool InWindow(uint32_t dwStart, uint32_t dwEnd, uint32_t dwNow) {
  return dwStart <= dwNow && dwNow <= dwEnd;
}
inline bool RecordInWindow(const NEW_AUDIT_LIST_ITEM& record, uint32_t dwNow) {
  return InWindow(record.dwStartTime, record.dwEndTime, dwNow);
}
