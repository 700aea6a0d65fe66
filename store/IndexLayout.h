// The layout of the lookup index object (see ListIndex.h), shared by the
// code that keeps it and the code that looks things up in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/AsciiText.h"
#include "store/ListFormat.h"
#include "store/ListIndex.h"

struct ListIndex::Header {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nTableBits;
  uint64_t nStamp;
  uint32_t nTableUsed;
  uint32_t nPatternCapacity;
  uint32_t nPatternCount;
  uint32_t nRecordCount;
  uint32_t bOrdered;
  uint32_t nReserved;
  uint64_t nFileIdentity;  // which list file the index was made for
  uint32_t nReserved2[2];
};
static_assert(sizeof(ListIndex::Header) == 64);

namespace list_index {

constexpr uint32_t kMinTableBits = 6;
constexpr uint32_t kMaxTableBits = 24;                // 16M entries, 128 MiB
constexpr uint32_t kMaxPatterns = uint32_t{1} << 22;  // 128 MiB
constexpr uint32_t kMinPatterns = 16;

struct TableEntry {
  uint32_t nTag;
  uint32_t nSlot;  // slot + 1; 0 marks a free entry
};

// A pattern, with the literal bytes (ASCII letters upper-cased) that every
// text it matches begins with (nPrefix, from its low byte) and ends with
// (nSuffix, ending in its high byte).
//
// Entries stand in order of key, then of group: a lookup searches, within the
// key, only the patterns that begin with the content's first byte, those
// without such a beginning that end with its last byte, and the few with
// neither.
struct PatternEntry {
  uint32_t nKey;
  uint32_t nSlot;
  uint64_t nPrefix;
  uint64_t nSuffix;
  uint32_t nLengths;  // prefix length | suffix length << 8, each 0 to 8
  uint32_t nGroup;    // see below
};

// The group of a pattern: its first literal byte; else 0x100 | its last
// literal byte; else 0x200.
constexpr uint32_t kGroupBySuffix = 0x100;
constexpr uint32_t kGroupOthers = 0x200;

inline uint64_t OrderOf(uint32_t nKey, uint32_t nGroup) {
  return uint64_t{nKey} << 32 | nGroup;
}

static_assert(sizeof(TableEntry) == 8);
static_assert(sizeof(PatternEntry) == 32);

constexpr uint64_t kTableOffset = 64;

inline uint64_t TableBytes(uint32_t nBits) {
  return uint64_t{sizeof(TableEntry)} << nBits;
}

inline uint64_t LayoutBytes(uint32_t nBits, uint32_t nPatterns) {
  return kTableOffset + TableBytes(nBits) + uint64_t{nPatterns} * sizeof(PatternEntry);
}

inline TableEntry* Table(uint8_t* pData) {
  return reinterpret_cast<TableEntry*>(pData + kTableOffset);
}

inline PatternEntry* Patterns(uint8_t* pData, uint32_t nBits) {
  return reinterpret_cast<PatternEntry*>(pData + kTableOffset + TableBytes(nBits));
}

inline size_t TextLength(const NEW_AUDIT_LIST_ITEM& record) {
  return strnlen(record.szContent, LIST_CONTENT_SIZE);
}

// A text of at most 128 bytes as the plain lookup takes it: upper-cased, in
// words, with its NUL and zero bytes up to the end of the word that holds
// the NUL (words after that one are left unset, and never read); and its
// hash, under the key.
struct PlainQuery {
  static constexpr size_t kWords = LIST_CONTENT_SIZE / 8 + 1;
  uint64_t nWords[kWords];
  size_t nLength;
  uint64_t nHash;

  PlainQuery(uint32_t nKey, const char* pszText, size_t nTextLength);
};

// The tag under which a plain text is kept in the table.
inline uint32_t TagOf(uint64_t nHash) {
  return static_cast<uint32_t>(nHash ^ (nHash >> 32));
}

// The literal beginning and end of a pattern of nLength bytes, and its group
// (see PatternEntry), into *pEntry.
void PatternFilterOf(const char* pszText, size_t nLength, PatternEntry* pEntry);
// The byte as the filters take it: ASCII letters upper-cased.
inline uint64_t UpperByte(char c) {
  return static_cast<unsigned char>(AsciiUpper(c));
}

}  // namespace list_index
