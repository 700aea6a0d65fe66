// Wildcard pattern comparison: '*' stands for any run of bytes (the empty one
// included), '?' for exactly one byte. Letters compare without regard to
// case, folded as the process's multibyte locale (LC_CTYPE) folds them.
//
// Every function here keeps nothing between calls, never changes what its
// arguments point to, allocates nothing, and may run on many threads at once.
#pragma once

#include <cstdint>

#include "api/Varnex.h"

// The longest pattern and the longest text accepted, in bytes.
inline constexpr uint16_t WILDCARD_MAX_LEN = 1000;

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

// One segment of a pattern (the bytes between two stars) and where it
// matched in the text.
struct WILDCARD_SEGMENT {
  uint16_t nStart;         // position in the text of the match's first byte
  uint16_t nEnd;           // position in the text of the match's last byte
  uint16_t nLength;        // the segment's length in bytes
  const char* pszSegment;  // the segment, NUL-terminated (in the caller's buffer)
};

// WildcardCompare (declared in api/Varnex.h) returns a WildcardStatus,
// never WILDCARD_GO_ON.

// True exactly when the record's szContent, taken as a pattern, matches
// pszContent (WildcardCompare gives 0). Reads szContent within its 128 bytes.
bool MatchItemPattern(const NEW_AUDIT_LIST_ITEM* pRecord, const char* pszContent);

// The stages of WildcardCompare, in the order it runs them.

// Null, empty and length tests on the strings as passed in: 3, 0, 4, 5 or 2.
uint8_t CheckWildcardArgs(const char* pszPattern, const char* pszText);
// Upper-cases a string in place as the multibyte locale does: single-byte
// letters, and multibyte characters as whole characters where the upper-case
// form has the same byte length. A trail byte is never taken for a letter on
// its own; bytes that form no character are left as they are.
void FoldToUpper(char* pszText);
// Upper-cases, in place, the ASCII letters that stand as characters of the
// multibyte locale: in a double-byte code page a trail byte with the value
// of a letter is part of another character and stays as it is. Nothing
// else changes. In a single-byte locale every ASCII letter is a character.
void FoldAsciiLettersOfCharacters(char* pszText);
// The plain comparison's equality: the first nMax bytes of two texts (each
// ending at its NUL, or after nMax bytes) are equal with the ASCII letters
// that stand as characters folded. Texts that differ only where an ASCII
// letter stands are equal here only when those bytes are characters.
bool PlainTextsEqual(const char* pszA, const char* pszB, size_t nMax);

// On the folded copies: collapses runs of '*' in the pattern (in place), then
// answers 6, 7, 0 (a lone '*'), 4 (empty text) or 2.
uint8_t NormalizePattern(char* pszPattern, const char* pszText);
// Puts the number of '*' in the pattern into *pnStars; returns 2.
uint8_t CountStars(const char* pszPattern, uint16_t* pnStars);
// For a pattern without '*': 0 when the text has the pattern's length and
// every byte equals the pattern's or stands under a '?', else 1.
uint8_t CompareSameLength(const char* pszPattern, const char* pszText);
// For a pattern with nStars stars: places its segments leftmost, in order,
// and checks that a pattern that does not begin (end) with '*' matches from
// the text's first byte (to its last). 0 or 1.
uint8_t MatchSegments(const char* pszPattern, const char* pszText, uint16_t nStars);
// Finds the first position at or after nFrom where the segment matches the
// text ('?' matching any byte). 0 with *pnStart and *pnEnd set, or 1 with
// them unchanged.
uint8_t FindSegment(const char* pszSegment, uint16_t nSegmentLength, const char* pszText,
                    uint16_t nTextLength, uint16_t nFrom, uint16_t* pnStart, uint16_t* pnEnd);
