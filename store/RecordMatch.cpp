#include "store/RecordMatch.h"

#include "store/Wildcard.h"

bool ContentEqualsText(const char* pszContent, const char* pszField) {
  if (!PlainTextsEqual(pszContent, pszField, LIST_CONTENT_SIZE)) return false;
  // Equal through 128 bytes: a field without a NUL equals only content that
  // ends right there.
  return std::memchr(pszField, '\0', LIST_CONTENT_SIZE) != nullptr ||
         pszContent[LIST_CONTENT_SIZE] == '\0';
}

bool RecordTextMatches(const NEW_AUDIT_LIST_ITEM& record, const char* pszContent) {
  if (FirstByteRulesOut(static_cast<unsigned char>(record.szContent[0]), pszContent)) {
    return false;
  }
  // (Content equal to a pattern holds a '*' and is refused by the pattern
  // comparison, so the plain comparison never decides for a pattern.)
  return IsPatternRecord(record) ? MatchItemPattern(&record, pszContent)
                                 : ContentEqualsText(pszContent, record.szContent);
}
