// The verdict match and the listing match.

#include <clocale>
#include <cstring>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "store/SysListFileEx.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr uint32_t kNow = 1'800'000'000;

NEW_AUDIT_LIST_ITEM Rule(const std::string& rule, const std::string& text, uint32_t start = 0,
                         uint32_t end = ~0u, int8_t type = 0) {
  NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, static_cast<uint32_t>(text.size()), text, type);
  item.dwStartTime = start;
  item.dwEndTime = end;
  return item;
}

std::vector<std::string> RuleNos(const AUDIT_RESULT_LIST* node) {
  std::vector<std::string> rules;
  for (; node != nullptr; node = node->pNext)
    rules.emplace_back(node->Item.szRuleNo, strnlen(node->Item.szRuleNo, 32));
  return rules;
}

class MatchingTest : public ::testing::Test {
 protected:
  void Open(int32_t type) { ASSERT_EQ(list_.OpenList(type), 0); }
  void Add(const NEW_AUDIT_LIST_ITEM& item) { ASSERT_EQ(list_.Editor().InsertItem(&item), 0); }
  int First(const char* content, uint32_t length, uint32_t now = kNow) {
    return list_.Lookup().MatchFirstAt(content, length, now);
  }
  // The listing match's rule numbers in chain order; frees the chain.
  std::vector<std::string> All(const char* content, uint32_t length, uint32_t now = kNow) {
    type_ = -99;
    count_ = -99;
    AUDIT_RESULT_LIST* head = list_.Lookup().MatchAllAt(content, length, type_, count_, now);
    auto rules = RuleNos(head);
    EXPECT_EQ(static_cast<int32_t>(rules.size()), head == nullptr && count_ == -99 ? 0 : count_);
    ::FreeResultList(head, count_);
    return rules;
  }

  TempListDir dir_;
  CSysListFileEx list_;
  int32_t type_ = 0;
  int32_t count_ = 0;
};

using Rules = std::vector<std::string>;

TEST_F(MatchingTest, PlainTextsCompareWithoutLetterCase) {
  Open(0);
  Add(Rule("r1", "www.Example.com"));
  Add(Rule("r2", "other.example.com"));
  EXPECT_EQ(First("WWW.example.COM", 15), 1);
  EXPECT_EQ(First("www.example.co", 15), 0) << "same key, other text";
  EXPECT_EQ(First("www.example.com", 14), 0) << "the key decides which records are compared";
  EXPECT_EQ(All("WWW.EXAMPLE.COM", 15), Rules{"r1"});
}

TEST_F(MatchingTest, PatternsOnlyInTheVerdictMatch) {
  Open(0);
  Add(Rule("star", "*.example.com"));  // key 13
  Add(Rule("query", "a?c"));           // key 3, no star: compared plainly
  Add(Rule("astar", "a*"));            // key 2
  EXPECT_EQ(First("www.example.com", 13), 1) << "the key is what the caller passes";
  EXPECT_EQ(First("abc", 3), 0);
  EXPECT_EQ(First("A?C", 3), 1);
  EXPECT_EQ(First("ab", 2), 1);
  EXPECT_EQ(All("ab", 2), Rules{});
  EXPECT_EQ(All("A*", 2), Rules{"astar"});
  EXPECT_EQ(All("a*", 2), Rules{"astar"});
}

TEST_F(MatchingTest, TimeWindowIncludesBothEnds) {
  Open(0);
  Add(Rule("w", "abc", kNow - 10, kNow + 10));
  struct Case {
    uint32_t now;
    int verdict;
  } cases[] = {{kNow - 11, 0}, {kNow - 10, 1}, {kNow, 1}, {kNow + 10, 1}, {kNow + 11, 0}};
  for (const Case& c : cases) EXPECT_EQ(First("abc", 3, c.now), c.verdict) << c.now;
}

TEST_F(MatchingTest, NullContentTakesEveryRecordWithTheKey) {
  for (int32_t type : {3, 7}) {
    SCOPED_TRACE(type);
    CSysListFileEx list;
    ASSERT_EQ(list.OpenList(type), 0);
    for (const auto& item :
         {Rule("expired", "abc", 0, kNow - 1), Rule("valid", "xyz"), Rule("other", "abcd")}) {
      ASSERT_EQ(list.Editor().InsertItem(&item), 0);
    }
    EXPECT_EQ(list.Lookup().MatchFirstAt(nullptr, 3, kNow), 1) << "no test of text or time";
    EXPECT_EQ(list.Lookup().MatchFirstAt("abc", 3, kNow), 0) << "an expired record never matches";
    int32_t item_type = -1, count = -1;
    AUDIT_RESULT_LIST* head = list.Lookup().MatchAllAt(nullptr, 3, item_type, count, kNow);
    EXPECT_EQ(count, type == 7 ? 1 : 2) << "only the trace list checks the window";
    EXPECT_EQ(static_cast<int32_t>(RuleNos(head).size()), count);
    ::FreeResultList(head, count);
  }
}

TEST_F(MatchingTest, HitsComeInReverseScanOrder) {
  Open(2);
  // Three records with key 3: the search meets slot 1, the scan visits 1, 0, 2.
  for (const char* rule : {"c", "b", "a"}) Add(Rule(rule, "abc"));
  EXPECT_EQ(All("ABC", 3), (Rules{"c", "a", "b"}));
  EXPECT_EQ(count_, 3);
}

TEST_F(MatchingTest, ResultsAndOutParametersOnEmptyAndUnmatchedLists) {
  Open(1);
  EXPECT_EQ(All("abc", 3), Rules{});
  EXPECT_EQ(type_, -99) << "untouched on an empty list";
  EXPECT_EQ(count_, -99);
  Add(Rule("r", "abc", 0, ~0u, 4));
  EXPECT_EQ(All("abd", 3), Rules{});
  EXPECT_EQ(type_, 0);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(All("abc", 9), Rules{});
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(First("abc", 9), 0);
}

TEST_F(MatchingTest, CombinedItemTypeIsTheSmallestAndZeroCountsAsNone) {
  struct Case {
    std::vector<int8_t> types;
    int32_t combined;
  } cases[] = {{{3, 0, 5}, 5}, {{3, 5}, 3}, {{5, 3}, 3}, {{-2, 4}, -2}, {{4, 0}, 0}, {{0}, 0}};
  for (const Case& c : cases) {
    int32_t count = 0, type = 0;
    AUDIT_RESULT_LIST* head = nullptr;
    for (int8_t t : c.types) {
      NEW_AUDIT_LIST_ITEM record = Rule("r", "x", 0, ~0u, t);
      head = NewResultNode(head, &record, &count, &type);
    }
    EXPECT_EQ(type, c.combined) << testing::PrintToString(c.types);
    EXPECT_EQ(count, static_cast<int32_t>(c.types.size()));
    ::FreeResultList(head, count);
  }
}

TEST_F(MatchingTest, KeysWithTheTopBitSetAreOrdinaryKeys) {
  Open(0);
  NEW_AUDIT_LIST_ITEM big = Rule("big", "abc");
  big.nContentLen = 0x80000001u;
  Add(Rule("small", "abc"));
  Add(big);
  EXPECT_EQ(First("abc", 0x80000001u), 1);
  EXPECT_EQ(All("abc", 0x80000001u), Rules{"big"});
}

TEST_F(MatchingTest, RecordsOutOfKeyOrderAreMissedAsTheSearchGoes) {
  Open(0);
  for (const char* text : {"a", "bb", "ccc", "dddd", "eeeee"}) Add(Rule(text, text));
  NEW_AUDIT_LIST_ITEM late = Rule("late", "z");
  ASSERT_TRUE(list_.Editor().AppendItem(&late));
  EXPECT_EQ(First("z", 1), 0) << "the search meets slot 0 and never sees the last slot";
  EXPECT_EQ(All(nullptr, 1), Rules{"a"});
}

TEST_F(MatchingTest, TextsAreComparedWithinTheirFields) {
  Open(0);
  const std::string long_text(128, 'q');
  NEW_AUDIT_LIST_ITEM full = Rule("full", "");
  std::memcpy(full.szContent, long_text.data(), 128);  // no NUL in the field
  full.nContentLen = 128;
  Add(full);
  // Exactly as long as the content, so that a read past either is caught.
  std::vector<char> content(long_text.begin(), long_text.end());
  content.push_back('\0');
  EXPECT_EQ(First(content.data(), 128), 1);
  content.back() = 'q';
  content.push_back('\0');
  EXPECT_EQ(First(content.data(), 128), 0) << "one byte longer than the field";
  EXPECT_EQ(All(std::string(128, 'Q').c_str(), 128), Rules{"full"});
}

TEST_F(MatchingTest, EachHitIsTracedWithItsRuleNumberWithinItsField) {
  SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr");
  Open(0);
  NEW_AUDIT_LIST_ITEM item = Rule("", "abc", 5, 6);
  std::memset(item.szRuleNo, 'R', 32);  // no NUL
  Add(item);
  StderrCapture capture;
  EXPECT_EQ(All("abc", 3), Rules{std::string(32, 'R')});
  EXPECT_EQ(capture.Finish(),
            "【匹配列表】当前时间1800000000, 规则开始时间5, 规则结束时间6, 规则编号" +
                std::string(32, 'R') + "\n");
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
}

// A node that cannot be allocated ends the listing: the chain keeps the hits
// found so far and the count says how many.
TEST_F(MatchingTest, FailedNodeAllocationKeepsTheChainAndCountConsistent) {
  Open(0);
  for (const char* rule : {"a", "b", "c"}) Add(Rule(rule, "abc", 0, ~0u, 2));
  static int allowed;
  allowed = 1;
  SetResultNodeAllocator([](size_t size) -> void* {
    return allowed-- > 0 ? ::operator new(size, std::nothrow) : nullptr;
  });
  EXPECT_EQ(All("abc", 3).size(), 1u);
  EXPECT_EQ(count_, 1);
  EXPECT_EQ(type_, 2);
  allowed = 0;
  EXPECT_EQ(All("abc", 3).size(), 0u);
  EXPECT_EQ(count_, 0);
  EXPECT_EQ(type_, 0);
  SetResultNodeAllocator(nullptr);
  EXPECT_EQ(All("abc", 3).size(), 3u);
}

// Reaches the protected GetItemFromKey2.
struct ExposedVarnex : CVarnex {
  using CVarnex::CVarnex;
  using CVarnex::GetItemFromKey2;
};

TEST(MatchingApiTest, CallsOnUnloadedListsAndFreeList) {
  TempListDir dir;
  ExposedVarnex list(0);
  int32_t type = 7, count = 9;
  EXPECT_EQ(list.IsMatch("abc", 3), 0);
  EXPECT_EQ(list.IsMatch("abc", 3, type, count), nullptr);
  EXPECT_EQ(type, 7);
  EXPECT_EQ(count, 9);
  NEW_AUDIT_LIST_ITEM untouched = MakeRecord("same", 1);
  EXPECT_EQ(list.GetItemFromKey2(nullptr, untouched), 1);
  EXPECT_STREQ(untouched.szRuleNo, "same");

  CVarnex loaded(0);
  ASSERT_EQ(loaded.LoadFile(), 1);
  for (const char* rule : {"a", "b", "c"}) {
    NEW_AUDIT_LIST_ITEM item = Rule(rule, "abc");
    ASSERT_EQ(loaded.AddItem(&item), 1);
  }
  EXPECT_EQ(loaded.IsMatch("ABC", 3), 1);
  AUDIT_RESULT_LIST* head = loaded.IsMatch("abc", 3, type, count);
  ASSERT_EQ(count, 3);
  // Freed in two steps: fewer nodes than the chain, then more.
  AUDIT_RESULT_LIST* rest = head->pNext->pNext;
  list.FreeList(head, 2);
  list.FreeList(rest, 10);
  list.FreeList(nullptr, 5);
  list.FreeList(head, 0);  // nothing is freed for 0 or less
}

// Adds 1,500 records to list 2, one at a time, after writing the file
// args[0].
VARNEX_TEST_ROLE(GrowListTwo) {
  CVarnex writer(2);
  if (writer.LoadFile() != 1) return 1;
  TouchFile(args.at(0));
  for (int i = 0; i < 1500; ++i) {
    NEW_AUDIT_LIST_ITEM item = Rule("w" + std::to_string(i), std::string(1 + i % 60, 'w'));
    if (writer.AddItem(&item) != 1) return 2;
  }
  return 0;
}

// Lookups while another process adds records and grows the file: the view
// follows the file, and records known to be there always match.
TEST(MatchingApiTest, LookupsWhileAnotherProcessGrowsTheList) {
  TempListDir dir;
  CVarnex list(2);
  ASSERT_EQ(list.LoadFile(), 1);
  for (int i = 0; i < 20; ++i) {
    NEW_AUDIT_LIST_ITEM item = Rule("known" + std::to_string(i), "known-" + std::to_string(i));
    ASSERT_EQ(list.AddItem(&item), 1);
  }
  const std::string started = dir.path() + "/started";
  ChildProcess child = SpawnRole("GrowListTwo", {started});
  ASSERT_TRUE(WaitForFile(started));
  int misses = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = "known-" + std::to_string(round % 20);
    misses += list.IsMatch(text.c_str(), static_cast<uint32_t>(text.size())) != 1;
  }
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(misses, 0);
  EXPECT_EQ(list.GetTotalCount(), 1520);
}

}  // namespace
}  // namespace varnex::test

namespace varnex::test {
namespace {

// Content from a packet has no NUL: it is read no further than the length
// given, even when the buffer ends right at a page that cannot be read.
TEST(BoundedContentTest, ContentIsReadNoFurtherThanItsLength) {
  TempListDir dir;
  CVarnex list(1);
  ASSERT_EQ(list.LoadFile(), 1);
  for (const auto& [rule, text, key] : std::vector<std::tuple<std::string, std::string, uint32_t>>{
           {"plain", "example.com", 11}, {"host", "*.example.org", 15}, {"long", "host", 2000}}) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, key, text);
    ASSERT_EQ(list.AddItem(&item), 1);
  }
  GuardedPage page;
  ASSERT_NE(page.End(), nullptr);
  auto at_page_end = [&](const std::string& text) {
    char* start = page.End() - text.size();
    std::memcpy(start, text.data(), text.size());
    return start;
  };
  struct Case {
    std::string text;
    uint32_t length;
    int verdict;
  };
  const std::vector<Case> cases = {
      {"EXAMPLE.COM", 11, 1},
      {"example.con", 11, 0},
      {"www.example.org", 15, 1},
      {"www.example.orx", 15, 0},
      {std::string(2000, 'h'), 2000, 0},
      {"example.com!", 11, 1},  // the length ends the content before the '!'
  };
  for (const Case& c : cases) {
    const char* content = at_page_end(c.text);
    EXPECT_EQ(list.IsMatch(content, c.length), c.verdict) << c.text.substr(0, 20);
    int32_t type = 0, count = 0;
    AUDIT_RESULT_LIST* hits = list.IsMatch(content, c.length, type, count);
    list.FreeList(hits, count);
  }
}

}  // namespace
}  // namespace varnex::test

namespace varnex::test {
namespace {

// In a double-byte code page a trail byte may have the value of an ASCII
// letter: the plain comparison folds letters only where they stand as
// characters, in the index, the scan and the listing match alike.
TEST(DoubleBytePlainTest, TrailBytesThatLookLikeLettersAreNotFolded) {
  if (std::setlocale(LC_CTYPE, kGbkLocale) == nullptr) GTEST_SKIP() << "no zh_CN.GBK locale";
  struct Row {
    const char* record;
    const char* content;
    int verdict;
  };
  const std::vector<Row> rows = {
      {"\xcf\xc2\xd9\x76", "\xcf\xc2\xd9\x56", 0},  // 下賤 / 下賄
      {"\xcf\xc2\xd9\x56", "\xcf\xc2\xd9\x76", 0},
      {"\xeb\x73\xb7\x4e", "\xeb\x73\xb7\x6e", 0},  // 雜種 / 雜穘
      {"\xb7\xb8\xd9\x76", "\xb7\xb8\xd9\x56", 0},  // 犯賤 / 犯賄
      {"\xcf\xc2\xd9\x76", "\xcf\xc2\xd9\x76", 1},
      {"ab\xcf\xc2x", "AB\xcf\xc2X", 1},  // letters that are characters fold
      {"\xcf"
       "a",
       "\xcf"
       "A",
       0},                      // a lead byte and its trail byte
      {"ab\xcf", "AB\xcf", 1},  // a lead byte with no trail byte
      {"\xcf\xcf"
       "a",
       "\xcf\xcf"
       "A",
       1},  // a character, then a letter
  };
  TempListDir dir;
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(6), 0);
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_TRUE(list.Editor().ResetToEmpty());
    const Row& row = rows[i];
    const auto key = static_cast<uint32_t>(std::strlen(row.content));
    NEW_AUDIT_LIST_ITEM item = MakeRecord("r", key, row.record);
    ASSERT_EQ(list.Editor().InsertItem(&item), 0);
    SCOPED_TRACE(i);
    EXPECT_EQ(list.Lookup().MatchFirstAt(row.content, key, kNow), row.verdict) << "the scan";
    int verdict = -1;
    ASSERT_TRUE(list.Lookup().MatchFirstLockFreeAt(row.content, key, kNow, &verdict));
    EXPECT_TRUE(list.IndexIsCurrent());
    EXPECT_EQ(verdict, row.verdict) << "the index";
    int32_t type = 0, count = 0;
    AUDIT_RESULT_LIST* hits = list.Lookup().MatchAllAt(row.content, key, type, count, kNow);
    ::FreeResultList(hits, count);
    EXPECT_EQ(count, row.verdict) << "the listing match";
  }
  std::setlocale(LC_CTYPE, "C");
  // In a single-byte locale every letter is a character.
  EXPECT_EQ(list.Lookup().MatchFirstAt("\xcf"
                                       "A",
                                       2, kNow),
            0);
  ASSERT_TRUE(list.Editor().ResetToEmpty());
  NEW_AUDIT_LIST_ITEM item = MakeRecord("r", 2,
                                        "\xcf"
                                        "a");
  ASSERT_EQ(list.Editor().InsertItem(&item), 0);
  EXPECT_EQ(list.Lookup().MatchFirstAt("\xcf"
                                       "A",
                                       2, kNow),
            1);
}

}  // namespace
}  // namespace varnex::test
