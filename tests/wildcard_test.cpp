// Wildcard pattern comparison: status codes, leftmost segments, case folding
// in single-byte and double-byte locales.
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/PatternShapes.h"
#include "store/Wildcard.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

// Sets LC_CTYPE for one test and puts the "C" locale back afterwards.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : ok_(std::setlocale(LC_CTYPE, name) != nullptr) {}
  ~ScopedLocale() { std::setlocale(LC_CTYPE, "C"); }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

using Text = std::optional<std::string>;  // nullopt stands for a null pointer

uint8_t Compare(const Text& pattern, const Text& text) {
  return WildcardCompare(pattern ? pattern->c_str() : nullptr, text ? text->c_str() : nullptr);
}

const std::string k1001A(1001, 'A');
const std::string k1000A(1000, 'A');

struct Row {
  Text pattern;
  Text text;
  int status;
};

// The rows that need no particular locale.
const Row kRows[] = {
    {std::nullopt, "ABC", 3},
    {"ABC", std::nullopt, 3},
    {std::nullopt, std::nullopt, 3},
    {"", "", 0},
    {"", "X", 4},
    {"", k1001A, 4},
    {k1001A, "", 5},
    {"*A", k1001A, 5},
    {"*" + std::string(999, 'B'), "A" + std::string(999, 'B'), 0},
    {"*" + std::string(999, 'A'), k1000A, 1},  // leftmost: the segment ends too early
    {k1000A.substr(0, 999) + "?", k1000A, 0},
    {"ABC", "abc", 6},
    {"a", "", 6},
    {"ABC", "a?c", 6},
    {"A*B", "a*b", 7},
    {"*", "a*c", 7},
    {"*", "a?c", 7},
    {"*", "abc", 0},
    {"***", "abc", 0},
    {"*", "", 0},
    {"*A", "", 4},
    {"?A", "", 4},
    {"A?C", "abc", 0},
    {"a?c", "ABC", 0},
    {"A?C", "ac", 1},
    {"A?C", "abcd", 1},
    {"AB*CD", "abxxcd", 0},
    {"AB*CD", "abcd", 0},
    {"AB*CD", "abxxcdzz", 1},
    {"AB*CD", "xabcd", 1},
    {"*AB", "xab", 0},
    {"*AB", "xaby", 1},
    {"AB*", "abc", 0},
    {"AB*", "xab", 1},
    {"*AB*", "xaby", 0},
    {"A**B", "ab", 0},
    {"X*Y*Z", "xyz", 0},
    {"X*Y*Z", "xaybz", 0},
    {"*A*B*", "xaxbx", 0},
    {"*?*", "abc", 0},
    {"A?*", "abc", 0},
    {"*?", "a", 0},
    {"*?", "ab", 1},
    {"A*?C", "abxc", 0},
    {"A*B", "axbxb", 1},  // the first B after A is taken, and it is not last
    {"A*A", "a", 1},      // segments never overlap
    {"A*A", "aa", 0},
    {"*.EXAMPLE.COM", "www.example.com", 0},
    {"*.example.com", "example.com", 1},
};

TEST(WildcardTest, StatusOfEveryRow) {
  for (const char* locale : {"C", kUtf8Locale}) {
    if (locale == nullptr) continue;
    ScopedLocale scoped(locale);
    ASSERT_TRUE(scoped.ok()) << locale;
    for (const Row& row : kRows) {
      EXPECT_EQ(Compare(row.pattern, row.text), row.status)
          << locale << ": " << row.pattern.value_or("(null)").substr(0, 40) << " / "
          << row.text.value_or("(null)").substr(0, 40);
    }
  }
}

TEST(WildcardTest, ArgumentsAreNeverChanged) {
  for (const Row& row : kRows) {
    if (!row.pattern || !row.text) continue;
    std::string pattern = *row.pattern, text = *row.text;
    (void)WildcardCompare(pattern.c_str(), text.c_str());
    EXPECT_EQ(pattern, *row.pattern);
    EXPECT_EQ(text, *row.text);
  }
}

TEST(WildcardTest, RecordPatternEndsWithItsField) {
  NEW_AUDIT_LIST_ITEM record = MakeRecord("r", 0);
  std::memset(record.szContent, 'A', sizeof record.szContent);  // no NUL
  record.szContent[0] = '*';
  record.dwStartTime = 0x42424242;  // what follows the field must not be read
  const std::string text = "x" + std::string(127, 'a');
  EXPECT_TRUE(MatchItemPattern(&record, text.c_str()));
  EXPECT_FALSE(MatchItemPattern(&record, (text + "B").c_str()));
  EXPECT_FALSE(MatchItemPattern(&record, nullptr));
  std::strcpy(record.szContent, "NOSTAR");
  EXPECT_FALSE(MatchItemPattern(&record, "nostar")) << "status 6 is no match";
}

// In GBK a character is one or two bytes; a trail byte may have the value of
// an ASCII letter.
class GbkWildcardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!locale_.ok()) GTEST_SKIP() << "the zh_CN.GBK locale is not installed";
  }
  ScopedLocale locale_{kGbkLocale};
};

const std::string kHan = "\xC4\xE3";             // one double-byte character
const std::string kTrailA = "\x81\x61";          // trail byte 0x61, 'a'
const std::string kTrailUpperA = "\x81\x41";     // trail byte 0x41, 'A'
const std::string kFullWidthLower = "\xA3\xE1";  // full-width a
const std::string kFullWidthUpper = "\xA3\xC1";  // full-width A

TEST_F(GbkWildcardTest, DoubleByteRows) {
  EXPECT_EQ(Compare("??", kHan), 0);
  EXPECT_EQ(Compare("?", kHan), 1);
  EXPECT_EQ(Compare("*" + kHan, "ab" + kHan), 0);
  EXPECT_EQ(Compare("A?" + kHan, "ax" + kHan), 0);
}

TEST_F(GbkWildcardTest, FoldsWholeCharactersAndNeverATrailByte) {
  struct Case {
    std::string text;
    std::string folded;
  } cases[] = {
      {"abc", "ABC"},
      {kTrailA, kTrailA},
      {kTrailA + "a", kTrailA + "A"},
      {kFullWidthLower, kFullWidthUpper},
      {"x" + kHan + "y", "X" + kHan + "Y"},
      {"\x81", "\x81"},  // a lead byte without its trail byte
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    FoldToUpper(text.data());
    EXPECT_EQ(text, c.folded);
  }
  EXPECT_EQ(Compare(kTrailA + "*", kTrailUpperA + "x"), 1);
  EXPECT_EQ(Compare(kFullWidthLower + "*", kFullWidthUpper + "x"), 0);
}

// Folds a text character by character with the C library alone; a byte
// that begins no character is passed over.
std::string FoldedByTheCLibrary(const std::string& text) {
  std::string folded;
  std::mbstate_t state{};
  for (size_t at = 0; at < text.size();) {
    wchar_t wc;
    const size_t used = std::mbrtowc(&wc, text.data() + at, text.size() - at, &state);
    if (used == 0 || used > text.size() - at) {
      state = std::mbstate_t{};
      folded += text[at++];
      continue;
    }
    char upper[MB_LEN_MAX];
    std::mbstate_t out{};
    const size_t n = std::wcrtomb(upper, static_cast<wchar_t>(std::towupper(wc)), &out);
    folded += n == used ? std::string(upper, n) : text.substr(at, used);
    at += used;
  }
  return folded;
}

// The walk learns which pairs are characters and which fold to themselves:
// the second fold of every pair, and a fold after the locale changed, must
// give what the C library gives.
TEST_F(GbkWildcardTest, LearnedCharactersFoldAsTheCLibraryDoes) {
  for (int pass = 0; pass < 2; ++pass) {
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
      for (int trail = 0x40; trail <= 0xFE; ++trail) {
        const std::string pair = {static_cast<char>(lead), static_cast<char>(trail)};
        std::string text = "x" + pair + "y";
        FoldToUpper(text.data());
        ASSERT_EQ(text, FoldedByTheCLibrary("x" + pair + "y"))
            << pass << " " << lead << " " << trail;
        text = pair + "a";
        FoldAsciiLettersOfCharacters(text.data());
        ASSERT_EQ(text.back(), FoldedByTheCLibrary(pair + "a").back()) << pass << " " << lead;
      }
    }
  }
  // In GBK these two bytes are a character without case; in UTF-8 they are
  // a small e with an acute accent.
  const std::string e_acute = "\xC3\xA9";
  std::string text = e_acute;
  FoldToUpper(text.data());
  EXPECT_EQ(text, e_acute);
  const ScopedLocale utf8("C.UTF-8");
  if (!utf8.ok()) GTEST_SKIP() << "no C.UTF-8 locale";
  text = e_acute;
  FoldToUpper(text.data());
  EXPECT_EQ(text, "\xC3\x89");
}

// Texts of characters the thread has met before (passed over without the C
// library) and ones it has not, with second bytes that look like ASCII
// letters, characters that have case and a pair cut off at the end, at
// every length, fold as the C library folds them.
TEST_F(GbkWildcardTest, TextsOfKnownCharactersFoldAsTheCLibraryDoes) {
  const std::vector<std::string> pieces = {"a",        "Z",        "q",          "7",
                                           kHan,       kTrailA,    kTrailUpperA, kFullWidthLower,
                                           "\xB0\xA1", "\xD6\xD0", "\xFE\x7A"};
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245 + 12345, seed >> 16; };
  for (int pass = 0; pass < 2; ++pass) {
    for (int n = 0; n < 3000; ++n) {
      std::string text;
      const size_t length = next() % 130;
      while (text.size() < length) text += pieces[next() % pieces.size()];
      if (text.size() > WILDCARD_MAX_LEN) text.resize(WILDCARD_MAX_LEN);
      if (n % 7 == 0 && !text.empty()) text.back() = '\xB0';  // a pair cut off
      std::string folded = text;
      FoldAsCompared(folded.data());
      ASSERT_EQ(folded, FoldedByTheCLibrary(text)) << pass << " " << n;
    }
  }
}

// A text folded once and compared with many patterns gets, pattern by
// pattern, the answer of the comparison itself (for patterns with a '*'),
// in single-byte, UTF-8 and double-byte locales.
TEST(FoldedTextTest, AgreesWithTheComparisonInEveryLocale) {
  const std::vector<std::string> patterns = {
      "*.example.com",
      "*",
      "**",
      "a**b*",
      "*ab",
      "?*",
      "a?c",
      "*" + kHan,
      kTrailA + "*",
      kFullWidthLower + "*",
      "*\xC3\xA9*",
      "*b*b*",
      "*?",
      "*" + kHan + "*",
      "*ab" + kHan,
  };
  const std::vector<std::string> texts = {
      "www.EXAMPLE.com",
      "",
      "ab",
      "abab",
      "aXbYb",
      "abc",
      "x" + kHan,
      kTrailUpperA + "x",
      kTrailA + "x",
      kFullWidthUpper + "x",
      "\xC3\x89",
      "a*b",
      "b?",
      "x.example.com.example.com",
      "x" + kHan + kHan,  // a literal tail met first before the end
      kHan + "AB" + kHan,
  };
  for (const char* name : {"C", "C.UTF-8", kGbkLocale}) {
    const ScopedLocale locale(name);
    if (!locale.ok()) continue;
    for (const std::string& text : texts) {
      std::string folded(text.size(), '\0');
      const FoldedText prepared = FoldForPatterns(folded.data(), text.data(), text.size());
      std::string folded_in_place = text;
      FoldAsCompared(folded_in_place.data());
      EXPECT_EQ(folded, folded_in_place) << name << " [" << text << "]";
      EXPECT_EQ(prepared.bWildcard, text.find_first_of("*?") != std::string::npos) << text;
      if (prepared.bFoldedAsAscii) {
        std::string upper = text;
        for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        EXPECT_EQ(folded, upper) << name << " [" << text << "]";
      }
      for (const std::string& pattern : patterns) {
        const bool expected = pattern.find('*') != std::string::npos &&
                              WildcardCompare(pattern.c_str(), text.c_str()) == 0;
        EXPECT_EQ(StarPatternMatchesFolded(pattern.c_str(), pattern.size(), prepared), expected)
            << name << " [" << pattern << "] [" << text << "]";
        // A simple shape settled by its folded literal: for one between
        // stars, at some place.
        char literal[LIST_CONTENT_SIZE + 1];
        size_t length = 0;
        const PatternShape shape =
            SimpleShapeOf(pattern.c_str(), pattern.size(), FoldingOfThread(), literal, &length);
        if (shape == PatternShape::kOther) continue;
        bool found = false;
        for (size_t place = 0; place <= text.size(); ++place) {
          found = found || LiteralShapeMatches(shape, literal, length, prepared, place);
        }
        EXPECT_EQ(found, expected) << name << " [" << pattern << "] [" << text << "]";
      }
    }
  }
  // The shapes, and the literals as they are folded.
  const struct {
    const char* pattern;
    PatternShape shape;
    const char* literal;
  } kShapes[] = {
      {"*.example.com", PatternShape::kStarLiteral, ".EXAMPLE.COM"},
      {"www.*", PatternShape::kLiteralStar, "WWW."},
      {"*word*", PatternShape::kStarLiteralStar, "WORD"},
      {"*", PatternShape::kStarLiteral, ""},
      {"**", PatternShape::kOther, nullptr},
      {"a*b", PatternShape::kOther, nullptr},
      {"*a?*", PatternShape::kOther, nullptr},
      {"*a*b*", PatternShape::kOther, nullptr},
      {"plain", PatternShape::kNotPattern, nullptr},
  };
  for (const auto& row : kShapes) {
    char literal[LIST_CONTENT_SIZE + 1];
    size_t length = 0;
    EXPECT_EQ(
        SimpleShapeOf(row.pattern, std::strlen(row.pattern), FoldingOfThread(), literal, &length),
        row.shape)
        << row.pattern;
    if (row.literal != nullptr) {
      EXPECT_EQ(std::string(literal, length), row.literal) << row.pattern;
    }
  }
  // A pattern with no '*' is never taken, even where it would match.
  const FoldedText abc = {"ABC", 3, false, true, true, true};
  EXPECT_FALSE(StarPatternMatchesFolded("a?c", 3, abc));
}

}  // namespace
}  // namespace varnex::test
