// The shapes of pattern that a folded text settles in one pass: '*' +
// literal, literal + '*', '*' + literal + '*'. The lookup index keeps a
// pattern's shape and literal so that it can settle it without the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "store/ListFormat.h"  // LIST_CONTENT_SIZE
#include "store/TextFolding.h"

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

// Whether a pattern (read within nPatternMax bytes) of a simple shape, or
// without a '*', matches the folded text (false for the latter); nothing
// for any other pattern, which the whole comparison must decide.
std::optional<bool> MatchBySimpleShape(const char* pszPattern, size_t nPatternMax,
                                       const FoldedText& text);
