// Wildcard pattern comparison: '*' stands for any run of bytes (the empty one
// included), '?' for exactly one byte. Letters compare without regard to
// case, folded as the process's multibyte locale (LC_CTYPE) folds them.
//
// Every function here keeps nothing between calls, never changes what its
// arguments point to, allocates nothing, and may run on many threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/ListFormat.h"  // WILDCARD_MAX_LEN
#include "store/TextFolding.h"
#include "varnex/Varnex.h"

// Status codes of a comparison.
enum WildcardStatus : uint8_t {
  WILDCARD_MATCH = 0,          // the text matches (also: both empty; a lone '*')
  WILDCARD_NO_MATCH = 1,       // the text does not match
  WILDCARD_GO_ON = 2,          // between the stages only; never returned
  WILDCARD_NULL = 3,           // the pattern or the text is null
  WILDCARD_EMPTY = 4,          // an empty pattern with a text, or an empty text
  WILDCARD_TOO_LONG = 5,       // the pattern or the text exceeds 1000 bytes
  WILDCARD_NO_WILDCARD = 6,    // the pattern holds neither '*' nor '?'
  WILDCARD_TEXT_WILDCARD = 7,  // the text holds '*' or '?'
  WILDCARD_EXCEPTION = 255,    // an exception interrupted the comparison
};

// WildcardCompare (declared in varnex/Varnex.h) returns a WildcardStatus,
// never WILDCARD_GO_ON.

// True exactly when the record's szContent, taken as a pattern, matches
// pszContent (WildcardCompare gives 0). Reads szContent within its 128 bytes.
bool MatchItemPattern(const NEW_AUDIT_LIST_ITEM* pRecord, const char* pszContent);

// True exactly when the pattern holds a '*' and WildcardCompare(pattern,
// text) gives 0 for the text that was folded into `text`, in the same
// thread and locale. The pattern is read within nPatternMax bytes (it need
// not end with a NUL there).
bool StarPatternMatchesFolded(const char* pszPattern, size_t nPatternMax, const FoldedText& text);
