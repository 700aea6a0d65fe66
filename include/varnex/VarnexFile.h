// The list file format, for programs that read or write list files
// themselves (backups, checks, recovery of a damaged file). Programs that
// only use the lists need <varnex/Varnex.h> alone.
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
// Every file the library writes keeps these invariants:
//  1. Slots nItemCount .. capacity - 1 are all zero bytes.
//  2. 0 <= nItemCount < capacity: at least one zero slot follows the records.
//  3. Records that AddItem and AddItems stored stand in ascending order of
//     nContentLen (unsigned), a new record in front of the records with an
//     equal key; AppendItemInfo and AppendItems add at the end, out of it.
//
// A file is not the whole state of a list while a writer is inside a change
// or died inside one: CVarnex::IsChangeUnfinished tells, and the next writer
// completes the change from the list's journal.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "varnex/Varnex.h"

inline constexpr uint32_t LIST_HEADER_SIZE = 24;
inline constexpr uint32_t LIST_ITEM_SIZE = 241;
inline constexpr int32_t LIST_FORMAT_TAG = 52;
inline constexpr uint32_t LIST_GROW_RECORDS = 100;
inline constexpr int32_t LIST_TYPE_COUNT = VARNEX_LIST_COUNT;
inline constexpr int32_t LIST_TYPE_IP = 4;  // the table of address ranges

#pragma pack(push, 1)
struct LIST_FILE_HEADER {
  int32_t nItemCount;     // records in use; signed
  int32_t nReserved1;     // written 0, never read
  int32_t nFormatTag;     // LIST_FORMAT_TAG in a valid file
  uint8_t Reserved2[12];  // written 0 at creation, never read
};
#pragma pack(pop)

static_assert(sizeof(LIST_FILE_HEADER) == LIST_HEADER_SIZE, "the header is 24 bytes");
static_assert(offsetof(LIST_FILE_HEADER, nFormatTag) == 8);
static_assert(sizeof(NEW_AUDIT_LIST_ITEM) == LIST_ITEM_SIZE, "a record is 241 bytes");

// The sizes of a record's text and rule number fields.
inline constexpr size_t LIST_CONTENT_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szContent);
inline constexpr size_t LIST_RULE_NO_SIZE = sizeof(NEW_AUDIT_LIST_ITEM::szRuleNo);

// The longest pattern, and the longest content that a pattern is compared
// with, in bytes: a pattern record with a larger nContentLen never matches.
inline constexpr uint16_t WILDCARD_MAX_LEN = 1000;

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
