// The list file format.
//
// A list file is a 24-byte header followed by an array of 241-byte record
// slots; slot i begins at byte 24 + 241 * i. All integers are little-endian
// and nothing is padded, so slots after the first are not aligned.
//
//   offset 0            LIST_FILE_HEADER (24 bytes)
//   offset 24 + 241*i   record slot i, i = 0 .. capacity - 1
//   after the last slot 0 to 240 leftover bytes, ignored; overwritten by the
//                       next growth
//
// capacity = (file size - 24) / 241, remainder dropped. A new file holds 100
// slots (24,124 bytes); a file grows only by appending 100 zero slots at the
// end of its last whole slot.
//
// Invariants kept by every operation:
//  1. Slots nItemCount .. capacity - 1 are all zero bytes.
//  2. 0 <= nItemCount < capacity: at least one zero slot follows the records.
//  3. In a list filled through the sorted insert, records stand in ascending
//     order of nContentLen (unsigned); a new record goes in front of the
//     records with an equal key.
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
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "varnex/Varnex.h"

static_assert(std::endian::native == std::endian::little,
              "the list file is little-endian and is mapped as it stands");

inline constexpr uint32_t LIST_HEADER_SIZE = 24;
inline constexpr uint32_t LIST_ITEM_SIZE = 241;
inline constexpr int32_t LIST_FORMAT_TAG = 52;
inline constexpr uint32_t LIST_GROW_RECORDS = 100;
inline constexpr int32_t LIST_TYPE_COUNT = 9;
inline constexpr int32_t LIST_TYPE_IP = 4;     // the IP list has no mutex
inline constexpr int32_t LIST_TYPE_TRACE = 7;  // the listing match checks windows here
// Mode of a newly created list file (less the umask): every account may read
// it, only its owner may change it.
inline constexpr uint32_t LIST_FILE_MODE = 0644;

#pragma pack(push, 1)
struct LIST_FILE_HEADER {
  int32_t nItemCount;     // records in use; signed
  int32_t nReserved1;     // written 0, never read
  int32_t nFormatTag;     // LIST_FORMAT_TAG in a valid file
  uint8_t Reserved2[12];  // written 0 at creation, never read
};
#pragma pack(pop)

static_assert(sizeof(LIST_FILE_HEADER) == LIST_HEADER_SIZE, "the header is 24 bytes");

// The sizes of a record's text and rule number fields.
inline constexpr size_t LIST_CONTENT_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szContent);
inline constexpr size_t LIST_RULE_NO_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szRuleNo);

// The longest pattern, and the longest content that a pattern is compared
// with, in bytes.
inline constexpr uint16_t WILDCARD_MAX_LEN = 1000;

// A record is in force at dwNow when its window (start and end inclusive)
// holds it.
inline bool InWindow(uint32_t dwStart, uint32_t dwEnd, uint32_t dwNow) {
  return dwStart <= dwNow && dwNow <= dwEnd;
}
inline bool RecordInWindow(const NEW_AUDIT_LIST_ITEM& record, uint32_t dwNow) {
  return InWindow(record.dwStartTime, record.dwEndTime, dwNow);
}

// An entry of the IP list (type 4): the first and last address of its range
// (inclusive) and the manage value, as 32-bit integers in host order in the
// first 12 bytes of szContent; cItemType is IP_LIST_WHITE or
// IP_LIST_MANAGE; every other byte is zero.
struct IP_RANGE_ENTRY {
  uint32_t dwFirst;
  uint32_t dwLast;
  uint32_t dwValue;
};
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, szContent) == 0 && sizeof(IP_RANGE_ENTRY) == 12,
              "the range is the first eight bytes of a record, the value the next four");

inline NEW_AUDIT_LIST_ITEM MakeIpRecord(const IP_RANGE_ENTRY& range, int32_t nKind) {
  NEW_AUDIT_LIST_ITEM record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(record.szContent, &range, sizeof range);
  record.cItemType = static_cast<int8_t>(nKind);
  return record;
}

inline IP_RANGE_ENTRY IpRangeOf(const NEW_AUDIT_LIST_ITEM& record) {
  IP_RANGE_ENTRY range;
  std::memcpy(&range, record.szContent, sizeof range);
  return range;
}
static_assert(sizeof(NEW_AUDIT_LIST_ITEM) == LIST_ITEM_SIZE, "a record is 241 bytes");
static_assert(offsetof(LIST_FILE_HEADER, nFormatTag) == 8);

// The file names of the list types 0 to 8.
inline constexpr const char* LIST_FILE_NAMES[LIST_TYPE_COUNT] = {
    "BaseList.sys", "ExactList.sys",    "ContentList.sys", "PersonList.sys",    "IPAudit.sys",
    "ASFilter.sys", "ContenFilter.sys", "TraceList.sys",   "ASFilterWhite.sys",
};

// The file name of a list type, or null for a type outside 0..8.
inline const char* ListFileName(int32_t nListType) {
  // Compared as unsigned, so every negative type falls outside too.
  if (static_cast<uint32_t>(nListType) >= static_cast<uint32_t>(LIST_TYPE_COUNT)) return nullptr;
  return LIST_FILE_NAMES[nListType];
}

// Number of whole record slots in a file of `size` bytes (0 when the file is
// shorter than a header), never more than INT32_MAX.
inline uint32_t ListCapacityOfSize(uint64_t size) {
  if (size < LIST_HEADER_SIZE) return 0;
  const uint64_t capacity = (size - LIST_HEADER_SIZE) / LIST_ITEM_SIZE;
  return capacity > INT32_MAX ? static_cast<uint32_t>(INT32_MAX) : static_cast<uint32_t>(capacity);
}

// Byte offset of record slot `index`.
inline constexpr uint64_t ListSlotOffset(uint64_t index) {
  return LIST_HEADER_SIZE + LIST_ITEM_SIZE * index;
}
