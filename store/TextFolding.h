// Text folded as the comparisons fold it: upper-cased by the calling
// thread's locale (LC_CTYPE), single-byte letters by the locale's table and
// multibyte characters as whole characters; and a text folded once to be
// compared with many patterns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/ListFormat.h"  // WILDCARD_MAX_LEN

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
// FoldAsCompared in a multibyte locale, of a text of nLength bytes.
void FoldAsComparedInMultibyte(char* pszText, size_t nLength);
