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

// A text folded once with FoldAsCompared, to be compared with many patterns
// in the same thread and locale (see StarPatternMatchesFolded).
struct FoldedText {
  const char* pszFolded;  // nLength bytes, then a NUL
  size_t nLength;
  // The text as given holds a '*' or a '?', or is longer than
  // WILDCARD_MAX_LEN: no pattern matches it.
  bool bWildcard;
  // The locale folds a pattern of ASCII bytes as ASCII letters fold (every
  // multibyte locale, and single-byte ones whose table changes only a-z).
  bool bAsciiFolds;
  // The copy is the text with its ASCII letters upper-cased byte by byte:
  // any of its pieces may be folded from the text itself (see UpperWord).
  bool bFoldedAsAscii;
  bool bSingleByte;  // the locale's characters are single bytes
};

// How the calling thread's locale folds letters, as FoldedText tells it;
// nIdentity is platform::CaseFoldingIdentity() of the calling thread.
struct ThreadFolding {
  bool bAsciiFolds;
  bool bSingleByte;
};
ThreadFolding FoldingOfThread();
ThreadFolding FoldingOfThread(uint64_t nIdentity);

// Copies nLength bytes of text to pszDest (room for nLength + 1) folded as
// FoldAsCompared folds, with a NUL after them, and describes the copy; the
// folding is the calling thread's (FoldingOfThread).
FoldedText FoldForPatterns(char* pszDest, const char* pszSource, size_t nLength);
FoldedText FoldForPatterns(char* pszDest, const char* pszSource, size_t nLength,
                           ThreadFolding folding);

// The shapes of pattern that the folded comparison settles in one pass.
enum class PatternShape : uint8_t {
  kOther = 0,        // any other pattern: the whole comparison
  kStarLiteral,      // '*' + literal: the text ends with it, first met there
  kLiteralStar,      // literal + '*': the text begins with it
  kStarLiteralStar,  // '*' + literal + '*': the text holds it
  kNotPattern,       // no '*'
};

// The shape of a pattern (read within nPatternMax bytes; it need not end
// with a NUL there) and, for the three simple shapes, its literal folded as
// StarPatternMatchesFolded folds it under `folding`: into pszLiteral (room
// for LIST_CONTENT_SIZE + 1 bytes, a NUL after the literal), its length into
// *pnLiteral. kOther for any pattern where that folding is not the one of
// ASCII letters, or longer than LIST_CONTENT_SIZE.
PatternShape SimpleShapeOf(const char* pszPattern, size_t nPatternMax, ThreadFolding folding,
                           char* pszLiteral, size_t* pnLiteral);

// StarPatternMatchesFolded for a pattern of a simple shape given by that
// literal (nLiteral bytes, folded); for kStarLiteralStar, only whether the
// literal stands at place nPlace of the text (a caller that tries every
// place where it may stand gets the whole answer).
bool LiteralShapeMatches(PatternShape shape, const char* pszLiteral, size_t nLiteral,
                         const FoldedText& text, size_t nPlace);

// True exactly when the pattern holds a '*' and WildcardCompare(pattern,
// text) gives 0 for the text that was folded into `text`, in the same
// thread and locale. The pattern is read within nPatternMax bytes (it need
// not end with a NUL there).
bool StarPatternMatchesFolded(const char* pszPattern, size_t nPatternMax, const FoldedText& text);

// Upper-cases a string in place as the multibyte locale does: single-byte
// letters, and multibyte characters as whole characters where the upper-case
// form has the same byte length. A trail byte is never taken for a letter on
// its own; bytes that form no character are left as they are.
void FoldToUpper(char* pszText);
// Upper-cases a string in place exactly as WildcardCompare folds its pattern
// and its text before it compares them bytewise, in the calling thread's
// locale (see platform::CaseFoldingIdentity).
void FoldAsCompared(char* pszText);
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
