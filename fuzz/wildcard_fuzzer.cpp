// Fuzzes the wildcard comparison: for any pattern and text it must not crash,
// must read nothing outside either string, must leave both unchanged, and
// must agree with the short reference matcher below. The comparison of a
// text folded once with many patterns must agree with it too, also in a
// double-byte locale, and so must a pattern of a simple shape settled by its
// folded literal alone (where a literal between stars stands at some place).
//
// Input: the pattern, a NUL byte, the text (a missing NUL: an empty text).
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/PatternShapes.h"
#include "store/Wildcard.h"

namespace {

// The comparison written the plain way, for the "C" locale (ASCII letters
// fold): segments between stars, each taken at its leftmost match after the
// one before it.
int Reference(std::string pattern, std::string text) {
  if (pattern.empty() && text.empty()) return 0;
  if (pattern.empty()) return 4;
  if (pattern.size() > 1000 || text.size() > 1000) return 5;
  for (auto* s : {&pattern, &text}) {
    for (char& c : *s) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
  }
  std::string collapsed;
  for (char c : pattern) {
    if (!(c == '*' && !collapsed.empty() && collapsed.back() == '*')) collapsed += c;
  }
  pattern = collapsed;
  auto has_wildcard = [](const std::string& s) {
    return s.find_first_of("*?") != std::string::npos;
  };
  if (!has_wildcard(pattern)) return 6;
  if (has_wildcard(text)) return 7;
  if (pattern == "*") return 0;
  if (text.empty()) return 4;
  auto matches_at = [&](const std::string& segment, size_t at) {
    for (size_t i = 0; i < segment.size(); ++i) {
      if (segment[i] != '?' && segment[i] != text[at + i]) return false;
    }
    return true;
  };
  if (pattern.find('*') == std::string::npos) {
    return pattern.size() == text.size() && matches_at(pattern, 0) ? 0 : 1;
  }
  std::vector<std::string> segments;
  std::string current;
  for (char c : pattern + "*") {
    if (c != '*') {
      current += c;
    } else if (!current.empty()) {
      segments.push_back(current);
      current.clear();
    }
  }
  size_t from = 0;
  size_t first_start = 0;
  for (size_t s = 0; s < segments.size(); ++s) {
    size_t at = from;
    while (at + segments[s].size() <= text.size() && !matches_at(segments[s], at)) ++at;
    if (at + segments[s].size() > text.size()) return 1;
    if (s == 0) first_start = at;
    from = at + segments[s].size();
  }
  if (pattern.front() != '*' && first_start != 0) return 1;
  if (pattern.back() != '*' && from != text.size()) return 1;
  return 0;
}

// A pattern of a simple shape, settled by its literal, answers as the
// folded comparison does; other patterns are told apart as such.
bool LiteralAgrees(const std::vector<char>& field, const FoldedText& text, bool expected) {
  char literal[LIST_CONTENT_SIZE + 1];
  size_t length = 0;
  const PatternShape shape = SimpleShapeOf(field.data(), field.size(),
                                           {text.bAsciiFolds, text.bSingleByte}, literal, &length);
  if (shape == PatternShape::kOther || shape == PatternShape::kNotPattern) return true;
  if (length > LIST_CONTENT_SIZE || std::memchr(literal, '*', length) != nullptr) return false;
  bool found = false;
  for (size_t place = 0; place <= text.nLength && !found; ++place) {
    found = LiteralShapeMatches(shape, literal, length, text, place);
    if (shape != PatternShape::kStarLiteralStar) break;
  }
  return found == expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto* begin = reinterpret_cast<const char*>(data);
  const char* split = static_cast<const char*>(std::memchr(begin, 0, size));
  const std::string pattern(begin, split != nullptr ? split : begin + size);
  std::string text;
  if (split != nullptr) {
    const char* rest = split + 1;
    const size_t rest_size = size - static_cast<size_t>(rest - begin);
    text.assign(rest, strnlen(rest, rest_size));
  }
  // Buffers of exactly the strings' size, so that a read past either end is
  // caught by AddressSanitizer.
  std::vector<char> pattern_buffer(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
  std::vector<char> text_buffer(text.c_str(), text.c_str() + text.size() + 1);
  const int status = WildcardCompare(pattern_buffer.data(), text_buffer.data());
  if (std::memcmp(pattern_buffer.data(), pattern.c_str(), pattern.size() + 1) != 0 ||
      std::memcmp(text_buffer.data(), text.c_str(), text.size() + 1) != 0) {
    std::abort();  // an argument was changed
  }
  if (status != Reference(pattern, text)) std::abort();

  // The pattern without a NUL after it (as in a full record field).
  std::vector<char> field(pattern.begin(), pattern.end());
  std::vector<char> folded(text.size() + 1);
  const FoldedText prepared = FoldForPatterns(folded.data(), text.data(), text.size());
  std::string folded_in_place = text;
  FoldAsCompared(folded_in_place.data());
  if (folded_in_place != folded.data() ||
      prepared.bWildcard != (text.find_first_of("*?") != std::string::npos || text.size() > 1000)) {
    std::abort();
  }
  const bool star = pattern.find('*') != std::string::npos;
  if (!field.empty() &&
      (StarPatternMatchesFolded(field.data(), field.size(), prepared) != (star && status == 0) ||
       !LiteralAgrees(field, prepared, star && status == 0))) {
    std::abort();
  }

  // In a double-byte locale (where the system has one) the text folded once
  // answers as the comparison does too.
  static const bool kDoubleByte =
      std::setlocale(LC_CTYPE, "zh_CN.GBK") != nullptr && std::setlocale(LC_CTYPE, "C") != nullptr;
  if (kDoubleByte && !field.empty()) {
    std::setlocale(LC_CTYPE, "zh_CN.GBK");
    const int double_status = WildcardCompare(pattern_buffer.data(), text_buffer.data());
    std::vector<char> double_folded(text.size() + 1);
    const FoldedText double_prepared =
        FoldForPatterns(double_folded.data(), text.data(), text.size());
    std::string double_in_place = text;
    FoldAsCompared(double_in_place.data());
    const bool agree = double_in_place == double_folded.data() &&
                       StarPatternMatchesFolded(field.data(), field.size(), double_prepared) ==
                           (star && double_status == 0) &&
                       LiteralAgrees(field, double_prepared, star && double_status == 0);
    std::setlocale(LC_CTYPE, "C");
    if (!agree) std::abort();
  }
  return 0;
}
