// Whether a record's text matches the content met: the one comparison that
// both the lookup index and the scan of the records make.
//
// A record whose text holds a '*' is a pattern, compared as WildcardCompare
// compares; any other text is compared plainly: equal without regard to the
// case of the ASCII letters that stand as characters (see PlainTextsEqual).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/AsciiText.h"
#include "store/ListFormat.h"
#include "store/SharedAccess.h"

// True when the record's text holds a '*' (within its 128 bytes).
inline bool IsPatternRecord(const NEW_AUDIT_LIST_ITEM& record) {
  return std::memchr(record.szContent, '*', strnlen(record.szContent, LIST_CONTENT_SIZE)) !=
         nullptr;
}

// pszContent equals a record's text field plainly. The text ends at its NUL
// or with its 128-byte field; the content is read no further than its own
// NUL (or byte 128).
bool ContentEqualsText(const char* pszContent, const char* pszField);

// Most candidates differ in their first byte. Where both first bytes are
// ASCII and the record's is neither '*' nor '?', that settles it: the text is
// unequal, and a pattern that begins with a plain byte must match from the
// content's first byte.
inline bool FirstByteRulesOut(unsigned char cField, const char* pszContent) {
  const auto cContent = static_cast<unsigned char>(pszContent[0]);
  return cField < 0x80 && cContent < 0x80 && cField != '*' && cField != '?' &&
         AsciiLower(static_cast<char>(cField)) != AsciiLower(static_cast<char>(cContent));
}

// The record's text matches pszContent (a pattern, or plain text).
bool RecordTextMatches(const NEW_AUDIT_LIST_ITEM& record, const char* pszContent);

// The fields of a record that a verdict reads: its text, window and key.
inline constexpr size_t LIST_RECORD_HEAD =
    offsetof(NEW_AUDIT_LIST_ITEM, nContentLen) + sizeof(uint32_t);

// Copies those fields of the record at pRecord (in the mapped list, read
// without the lock) into *pCopy.
inline void ReadRecordHead(const uint8_t* pRecord, NEW_AUDIT_LIST_ITEM* pCopy) {
  static_assert(LIST_RECORD_HEAD == 140 && sizeof(NEW_AUDIT_LIST_ITEM) >= 144);
  auto* pOut = reinterpret_cast<uint8_t*>(pCopy);
  for (size_t i = 0; i < 136; i += 8) {
    const uint64_t nWord = shared_access::LoadBytes8(pRecord + i);
    std::memcpy(pOut + i, &nWord, 8);
  }
  const auto nKey = static_cast<uint32_t>(shared_access::LoadBytes8(pRecord + 136));
  std::memcpy(pOut + 136, &nKey, 4);
}
