// Long differential tests, run apart from the quick suite (label "long"):
// the lock-free verdict against the locked scan on random lists under every
// kind of edit, and the batch insert against the same records added one by
// one. The list-file fuzzer checks the first on hostile files as well.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/SysListFileEx.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr uint32_t kNow = 1'800'000'000;

// Random records and queries drawn from small sets, so that keys share
// runs, texts repeat under other windows and letter cases, and queries hit.
class RandomRules {
 public:
  // With `words`, records are drawn from those words, half of them patterns
  // of the shapes that real lists hold (see PatternText).
  explicit RandomRules(uint32_t seed, std::vector<std::string> words = {})
      : rng_(seed), words_(std::move(words)) {}

  NEW_AUDIT_LIST_ITEM Record() {
    const std::string text = Text();
    NEW_AUDIT_LIST_ITEM item =
        MakeRecord("r" + std::to_string(Pick(400)), Key(text), text, static_cast<int8_t>(Pick(3)));
    switch (Pick(6)) {
      case 0:  // expired
        item.dwStartTime = 0;
        item.dwEndTime = kNow - 1 - Pick(1000);
        break;
      case 1:  // not yet valid
        item.dwStartTime = kNow + 1 + Pick(1000);
        item.dwEndTime = ~0u;
        break;
      case 2:  // ends right now
        item.dwStartTime = kNow;
        item.dwEndTime = kNow;
        break;
      default:
        item.dwStartTime = 0;
        item.dwEndTime = ~0u;
    }
    if (Pick(40) == 0) {  // a text that fills its field, without a NUL
      std::memset(item.szContent, 'a' + static_cast<int>(Pick(2)), sizeof item.szContent);
      item.nContentLen = 128;
    }
    return item;
  }

  // A query: text and key, sometimes the null content.
  struct Query {
    std::string text;
    bool null = false;
    uint32_t key = 0;
  };
  Query NextQuery() {
    Query query;
    query.text = QueryText();
    query.key = Pick(8) == 0 ? Key(Text()) : Key(query.text);
    query.null = Pick(30) == 0;
    if (Pick(40) == 0) query.text = std::string(128 + Pick(2), 'a' + static_cast<int>(Pick(2)));
    if (Pick(80) == 0) query.text = std::string(995 + Pick(10), 'a') + "ab";  // about the limit
    return query;
  }

  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

 private:
  std::string Word() {
    static const char* const kWords[] = {"ab",  "Ab", "host", "HOST", "x.com", "mail",
                                         "a?c", "",   "abab", "ix",   "I",     "example.org"};
    if (!words_.empty()) return words_[Pick(static_cast<uint32_t>(words_.size()))];
    return kWords[Pick(sizeof kWords / sizeof *kWords)];
  }
  // `*.domain`, `domain*`, `*word*`, inner stars and question marks.
  std::string PatternText() {
    const std::string a = Word(), b = Word();
    switch (Pick(7)) {
      case 0:
        return "*." + a + b;
      case 1:
        return a + b + "*";
      case 2:
        return "*" + a + "*";
      case 3:
        return a + "*" + b;
      case 4:
        return "*" + a + "?" + b;
      case 5:
        return "?" + a + "*" + b + "*";
      default:
        return "*?" + a;
    }
  }
  std::string Text() {
    if (!words_.empty() && Pick(2) == 0) return PatternText();
    std::string text = Word();
    if (Pick(2) == 0) text += Word();
    switch (Pick(12)) {  // patterns
      case 0:
        return "*" + text;
      case 1:
        return text + "*";
      case 2:
        return text + "*" + Word();
      case 3:
        return "*";
      default:
        return text;
    }
  }
  std::string QueryText() {
    std::string text = Word();
    if (Pick(2) == 0) text += Word();
    if (Pick(3) == 0) text = Word() + text;
    if (!words_.empty() && Pick(3) == 0) text = Word() + "." + text;  // a host under a domain
    return text;
  }
  // Mostly the text's length; sometimes a key with the top bit set, or one
  // shared by many texts.
  uint32_t Key(const std::string& text) {
    switch (Pick(10)) {
      case 0:
        return 0x80000000u + Pick(3);
      case 1:
        return 7;
      default:
        return static_cast<uint32_t>(text.size());
    }
  }

  std::mt19937 rng_;
  std::vector<std::string> words_;
};

class DifferentialTest : public ::testing::Test {
 protected:
  // Every query gives the same verdict without the lock as the locked scan.
  void ExpectSameVerdicts(CSysListFileEx& list, RandomRules& rules, int queries,
                          const std::string& context) {
    for (int q = 0; q < queries; ++q) {
      const RandomRules::Query query = rules.NextQuery();
      const char* content = query.null ? nullptr : query.text.c_str();
      const uint32_t now = rules.Pick(5) == 0 ? kNow - 500 : kNow;
      int fast = -1;
      ASSERT_TRUE(list.Lookup().MatchFirstLockFreeAt(content, query.key, now, &fast)) << context;
      ASSERT_EQ(fast, list.Lookup().MatchFirstAt(content, query.key, now))
          << context << " query \"" << query.text << "\" key " << query.key
          << (query.null ? " (null content)" : "");
      // The records that explain the verdict are there exactly when it is
      // a match, and each has the key.
      std::vector<NEW_AUDIT_LIST_ITEM> deciding;
      ASSERT_TRUE(list.Lookup().DecidingLockFreeAt(content, query.key, now, &deciding)) << context;
      ASSERT_EQ(!deciding.empty(), fast == 1)
          << context << " query \"" << query.text << "\" key " << query.key;
      for (const NEW_AUDIT_LIST_ITEM& record : deciding) {
        ASSERT_EQ(uint32_t{record.nContentLen}, query.key) << context;
      }
    }
  }

  TempListDir dir_;
};

TEST_F(DifferentialTest, RandomListsGiveTheLockedVerdicts) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    RandomRules rules(seed);
    CSysListFileEx list;
    ASSERT_EQ(list.OpenList(seed % 4 == 0 ? 5 : 0), 0);
    ASSERT_TRUE(list.Editor().ResetToEmpty());
    ASSERT_TRUE(list.HasChangeCounter());
    const bool sorted = seed % 3 != 0;
    const int records = static_cast<int>(rules.Pick(300));
    for (int i = 0; i < records; ++i) {
      const NEW_AUDIT_LIST_ITEM item = rules.Record();
      if (sorted) {
        ASSERT_EQ(list.Editor().InsertItem(&item), 0);
      } else {
        ASSERT_TRUE(list.Editor().AppendItem(&item));
      }
    }
    const std::string context = "seed " + std::to_string(seed);
    ExpectSameVerdicts(list, rules, 300, context);
    if (sorted) {
      EXPECT_TRUE(list.IndexIsCurrent()) << context;
    }
    // Edits that the index follows record by record, and ones after which
    // it is rebuilt.
    for (int round = 0; round < 6; ++round) {
      for (int i = 0; i < 20; ++i) {
        const NEW_AUDIT_LIST_ITEM item = rules.Record();
        ASSERT_EQ(list.Editor().InsertItem(&item), 0);
      }
      if (round % 2 == 0) {
        ASSERT_EQ(list.Editor().DeleteByRuleNo(("r" + std::to_string(rules.Pick(400))).c_str()), 0);
      } else {
        (void)list.Editor().PurgeOutdatedAt(kNow - 200);
      }
      ExpectSameVerdicts(list, rules, 150, context + " round " + std::to_string(round));
      if (sorted) {
        EXPECT_TRUE(list.IndexIsCurrent()) << context;
      }
    }
  }
}

// Lists where half of the records are patterns, in ASCII and in GBK (where
// trail bytes may look like ASCII letters and full-width letters have
// cases), give the verdicts of the locked scan through the anchors; and a
// reader whose locale folds otherwise than the writer's does too.
TEST_F(DifferentialTest, PatternHeavyListsGiveTheLockedVerdicts) {
  struct Case {
    const char* locale;
    std::vector<std::string> words;
  } cases[] = {
      // (A word of 41 letters makes literals too long to be settled
      // without their record.)
      {"C",
       {"example", "EXAMPLE", "com", "cn", "mail", "a", "ab", "x?y", "word", "WoRd", "i", "I",
        "abcdefghijklmnopqrstuvwxyzabcdefghijklmnO"}},
      {kGbkLocale,
       {"\xd6\xd0\xce\xc4", "\xb9\xd8\xbc\xfc", "\xa3\xe1\xa3\xe2",  // words, full-width ab
        "\xa3\xc1\xa3\xc2", "\x81\x61", "\x81\x41", "a", "A", "com", "\xb2\xe2", "ab"}},
  };
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  for (const Case& c : cases) {
    if (std::setlocale(LC_CTYPE, c.locale) == nullptr) {
      std::printf("no %s locale: skipped\n", c.locale);
      continue;
    }
    for (uint32_t seed = 1; seed <= 12; ++seed) {
      RandomRules rules(seed * 7919, c.words);
      CSysListFileEx list;
      ASSERT_EQ(list.OpenList(0), 0);
      ASSERT_TRUE(list.Editor().ResetToEmpty());
      const int records = 100 + static_cast<int>(rules.Pick(400));
      for (int i = 0; i < records; ++i) {
        const NEW_AUDIT_LIST_ITEM item = rules.Record();
        ASSERT_EQ(list.Editor().InsertItem(&item), 0);
      }
      const std::string context = std::string(c.locale) + " seed " + std::to_string(seed);
      ExpectSameVerdicts(list, rules, 400, context);
      EXPECT_TRUE(list.IndexIsCurrent()) << context;
      for (int round = 0; round < 3; ++round) {  // followed record by record
        for (int i = 0; i < 15; ++i) {
          const NEW_AUDIT_LIST_ITEM item = rules.Record();
          ASSERT_EQ(list.Editor().InsertItem(&item), 0);
        }
        ASSERT_EQ(list.Editor().DeleteByRuleNo(("r" + std::to_string(rules.Pick(400))).c_str()), 0);
        ExpectSameVerdicts(list, rules, 200, context + " round " + std::to_string(round));
      }
      // A reader that folds otherwise answers too, without the anchors.
      std::setlocale(LC_CTYPE,
                     std::strcmp(c.locale, "C") == 0 && kUtf8Locale != nullptr ? kUtf8Locale : "C");
      ExpectSameVerdicts(list, rules, 200, context + " read in another locale");
      std::setlocale(LC_CTYPE, c.locale);
    }
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

// Random records whose rule numbers repeat (in other letter cases too) and
// whose keys change, so that a batch replaces records in place and moves
// them.
std::vector<NEW_AUDIT_LIST_ITEM> RandomBatch(std::mt19937& rng, int n) {
  std::vector<NEW_AUDIT_LIST_ITEM> items;
  for (int i = 0; i < n; ++i) {
    std::string rule = "rule" + std::to_string(rng() % 60);
    if (rng() % 3 == 0) rule[0] = 'R';
    NEW_AUDIT_LIST_ITEM item = MakeRecord(rule, rng() % 12, "c" + std::to_string(i), 1);
    item.Reserved[5] = static_cast<uint8_t>(rng());
    items.push_back(item);
  }
  return items;
}

// A batch leaves the very bytes that the same records added one by one
// leave, starting from sorted lists and from lists that appends unsorted.
TEST(AddItemsTest, BatchLeavesTheSameFileAsSingleInserts) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 40; ++round) {
    const auto start = RandomBatch(rng, static_cast<int>(rng() % 150));
    const auto batch = RandomBatch(rng, static_cast<int>(rng() % 250));
    const bool unsorted = round % 5 == 4;
    std::vector<uint8_t> files[2];
    int32_t replaced_by_batch = -1, replaced_one_by_one = 0;
    for (int way = 0; way < 2; ++way) {
      TempListDir dir;
      CVarnex list(0);
      ASSERT_EQ(list.LoadFile(), 1);
      for (const auto& item : start) {
        NEW_AUDIT_LIST_ITEM copy = item;
        ASSERT_EQ(list.AddItem(&copy), 1);
      }
      if (unsorted) {
        NEW_AUDIT_LIST_ITEM low = MakeRecord("appended", 0);
        ASSERT_TRUE(list.AppendItemInfo(&low));
      }
      if (way == 0) {
        ASSERT_EQ(
            list.AddItems(batch.data(), static_cast<int32_t>(batch.size()), &replaced_by_batch),
            static_cast<int32_t>(batch.size()));
      } else {
        for (const auto& item : batch) {
          const int32_t before = list.GetTotalCount();
          NEW_AUDIT_LIST_ITEM copy = item;
          ASSERT_EQ(list.AddItem(&copy), 1);
          replaced_one_by_one += list.GetTotalCount() == before;
        }
      }
      list.ReleaseFile();
      files[way] = ReadFileBytes(dir.FilePath(0));
    }
    ASSERT_EQ(files[0], files[1]) << "round " << round;
    EXPECT_EQ(replaced_by_batch, replaced_one_by_one);
  }
}

}  // namespace
}  // namespace varnex::test
