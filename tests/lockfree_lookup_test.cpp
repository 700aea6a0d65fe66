// Verdict lookups without the lock: the same verdicts as the locked scan, on
// random lists and while other writers change them, and recovery from a
// writer that died inside its change.

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "platform/Platform.h"
#include "store/IndexLayout.h"
#include "store/ListIndex.h"
#include "store/ListJournal.h"
#include "store/ListState.h"
#include "store/SysListFileEx.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

constexpr uint32_t kNow = 1'800'000'000;

class LockFreeLookupTest : public ::testing::Test {
 protected:
  TempListDir dir_;
};

#if !defined(_WIN32)  // (Windows moves no file over one that a holder maps)
// A list file put back from a copy, while no holder had the list open, or
// moved over the list's name: every holder answers from the file it maps,
// never through an index made for another file.
TEST_F(LockFreeLookupTest, AFilePutBackOrMovedInIsNotLookedUpByAnOldIndex) {
  auto fill = [&](const char* prefix) {
    CSysListFileEx list;
    ASSERT_EQ(list.OpenList(2), 0);
    ASSERT_TRUE(list.Editor().ResetToEmpty());
    for (int i = 0; i < 50; ++i) {
      NEW_AUDIT_LIST_ITEM item = MakeRecord("s" + std::to_string(i), 5, prefix + std::to_string(i));
      ASSERT_EQ(list.Editor().InsertItem(&item), 0);
    }
    ASSERT_TRUE(list.IndexIsCurrent());
  };
  auto verdict = [](CSysListFileEx& list, const char* content) {
    int result = -1;
    EXPECT_TRUE(list.Lookup().MatchFirstLockFreeAt(content, 5, kNow, &result));
    return result;
  };
  fill("t");
  const std::vector<uint8_t> backup = ReadFileBytes(dir_.FilePath(2));
  fill("u");
  WriteFileBytes(dir_.FilePath(2), backup);  // same size, same count, same file
  CSysListFileEx reopened;
  ASSERT_EQ(reopened.OpenList(2), 0);
  EXPECT_EQ(verdict(reopened, "T7"), 1);
  EXPECT_EQ(verdict(reopened, "u7"), 0);

  // Another file moved in under the name: once a writer has loaded it, the
  // holder of the old one goes to the lock, maps the new file, and answers
  // from it.
  const std::string moved = dir_.path() + "/moved";
  WriteFileBytes(moved, ReadFileBytes(dir_.FilePath(2)));
  fill("v");
  WriteFileBytes(dir_.FilePath(2) + ".new", ReadFileBytes(moved));
  ASSERT_EQ(rename((dir_.FilePath(2) + ".new").c_str(), dir_.FilePath(2).c_str()), 0);
  CSysListFileEx newcomer;
  ASSERT_EQ(newcomer.OpenList(2), 0);
  EXPECT_EQ(verdict(newcomer, "t7"), 1);
  int result = -1;
  EXPECT_FALSE(reopened.Lookup().MatchFirstLockFreeAt("t7", 5, kNow, &result));
  ASSERT_TRUE(platform::IsHeld(reopened.LockList()));
  EXPECT_TRUE(reopened.UnlockList());
  EXPECT_EQ(verdict(reopened, "t7"), 1);
  EXPECT_EQ(verdict(reopened, "v7"), 0);
  EXPECT_TRUE(reopened.IndexIsCurrent());
  EXPECT_TRUE(newcomer.IndexIsCurrent());
}

// A writer's load takes up the index that the last change left, unless
// something has written the list file since (its contents, or its
// attributes), then it makes the index again; either way its verdicts are
// those of the file.
TEST_F(LockFreeLookupTest, AWriterLoadKeepsTheIndexOnlyOfAFileNothingWroteSince) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> touch;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"untouched", [](const std::string&) {}, true},
      {"its own bytes written back",
       [](const std::string& path) { WriteFileBytes(path, ReadFileBytes(path)); }, false},
      {"its mode set again",
       [](const std::string& path) { ASSERT_EQ(chmod(path.c_str(), 0644), 0); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      CSysListFileEx list;
      ASSERT_EQ(list.OpenList(2), 0);
      ASSERT_TRUE(list.Editor().ResetToEmpty());
      for (int i = 0; i < 20; ++i) {
        NEW_AUDIT_LIST_ITEM item = MakeRecord("s" + std::to_string(i), 5, "w" + std::to_string(i));
        ASSERT_EQ(list.Editor().InsertItem(&item), 0);
      }
    }
    c.touch(dir_.FilePath(2));
    const uint64_t before = ChangeCounterOf(2);
    CSysListFileEx reopened;
    ASSERT_EQ(reopened.OpenList(2), 0);
    // (Making the index again is a change of its own.)
    EXPECT_EQ(ChangeCounterOf(2) == before, c.kept);
    EXPECT_TRUE(reopened.IndexIsCurrent());
    int result = -1;
    EXPECT_TRUE(reopened.Lookup().MatchFirstLockFreeAt("W7", 5, kNow, &result));
    EXPECT_EQ(result, 1);
  }
}
#endif  // (Windows: a change time proves nothing there; every load makes the index)

// A child process inserts, replaces, deletes and purges records of its own
// (growing the file) while this process looks up records that stay: every
// Adds, replaces, deletes and purges records of list 0, with the keys of the
// readers' records, until the file args[0] exists.
VARNEX_TEST_ROLE(ChurnListZero) {
  CVarnex writer(0);
  if (writer.LoadFile() != 1) return 1;
  std::mt19937 rng(7);
  for (int round = 0; !std::filesystem::exists(args.at(0)); ++round) {
    // Same keys as the stable records, so the slots they stand in move.
    const std::string text = "churn" + std::to_string(rng() % 500) + ".example";
    NEW_AUDIT_LIST_ITEM item = MakeRecord("c" + std::to_string(rng() % 300),
                                          static_cast<uint32_t>(text.size() + rng() % 3), text);
    item.dwEndTime = rng() % 4 == 0 ? 1 : ~0u;  // some outdated at once
    if (writer.AddItem(&item) != 1) return 2;
    if (round % 7 == 0) (void)writer.DeleteItem(("c" + std::to_string(rng() % 300)).c_str());
    if (round % 50 == 0) (void)writer.CleanOutdateItem();
  }
  return 0;
}

std::vector<uint8_t> BytesOf(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

// verdict must be the known one.
TEST_F(LockFreeLookupTest, VerdictsStayRightWhileAnotherProcessEdits) {
  CVarnex reader(0);
  ASSERT_EQ(reader.LoadFile(), 1);
  std::vector<std::string> stable;
  for (int i = 0; i < 200; ++i) {
    stable.push_back("stable" + std::to_string(i) + ".example");
    NEW_AUDIT_LIST_ITEM item = MakeRecord(
        "k" + std::to_string(i), static_cast<uint32_t>(stable.back().size()), stable.back());
    ASSERT_EQ(reader.AddItem(&item), 1);
  }
  NEW_AUDIT_LIST_ITEM pattern = MakeRecord("kp", 16, "*.pattern.test");
  ASSERT_EQ(reader.AddItem(&pattern), 1);

  const std::string stop = dir_.path() + "/stop";
  ChildProcess child = SpawnRole("ChurnListZero", {stop});
  const int64_t deadline = NowMs() + 1500;
  std::mt19937 rng(3);
  int64_t lookups = 0;
  while (NowMs() < deadline) {
    const std::string& text = stable[rng() % stable.size()];
    ASSERT_EQ(reader.IsMatch(text.c_str(), static_cast<uint32_t>(text.size())), 1) << text;
    const std::string missing = "absent" + std::to_string(rng() % 100) + ".example";
    ASSERT_EQ(reader.IsMatch(missing.c_str(), static_cast<uint32_t>(missing.size())), 0);
    ASSERT_EQ(reader.IsMatch("www.pattern.test", 16), 1);
    ASSERT_EQ(reader.IsMatch("www.pattern.tesx", 16), 0);
    lookups += 4;
  }
  TouchFile(stop);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_GT(lookups, 1000);
}

// A writer that dies inside its change window leaves the counter odd and
// the lock abandoned: a reader waits briefly, takes the lock over, and the
// verdicts are right again.
TEST_F(LockFreeLookupTest, AWriterThatDiedInsideItsChangeIsRecoveredByAReader) {
  CVarnex list(3);
  ASSERT_EQ(list.LoadFile(), 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("a", 4, "abcd");
  ASSERT_EQ(list.AddItem(&item), 1);
  ASSERT_TRUE(DieInsideAChange(3));
  EXPECT_EQ(list.IsMatch("ABCD", 4), 1);
  EXPECT_EQ(list.IsMatch("abce", 4), 0);
  EXPECT_EQ(ChangeCounterOf(3) % 2, 0u);
}

// Objects of another layout are not misread: a state file of another layout
// leaves the list read-only here and its lookups to the lock, and an index of
// another layout is left as it is.
TEST_F(LockFreeLookupTest, SharedObjectsOfAnotherLayoutAreNotUsed) {
  {
    CSysListFileEx first;
    ASSERT_EQ(first.OpenList(1), 0);
  }
  const std::string state_path = dir_.path() + "/SYSLIST_STATE_1";
  auto state = ReadFileBytes(state_path);
  const uint32_t other_version = LIST_STATE_VERSION + 1;
  std::memcpy(state.data() + 8, &other_version, sizeof other_version);
  WriteFileBytes(state_path, state);
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(1), 0);
  EXPECT_FALSE(list.HasChangeCounter());
  EXPECT_FALSE(list.IsWritable());
  EXPECT_NE(list.ReadOnlyReason().find("SYSLIST_STATE_1"), std::string::npos)
      << list.ReadOnlyReason();
  int verdict = -1;
  EXPECT_FALSE(list.Lookup().MatchFirstLockFreeAt("x", 1, kNow, &verdict));
  NEW_AUDIT_LIST_ITEM item = MakeRecord("x", 1, "x");
  EXPECT_EQ(list.Editor().InsertItem(&item), -1);

  const std::string index_name = dir_.path() + "/SYSLIST_INDEX_6";
  const uint64_t foreign[2] = {LIST_INDEX_MAGIC, LIST_INDEX_VERSION + 1};
  WriteFileBytes(index_name, BytesOf(foreign, sizeof foreign));
  CSysListFileEx other;
  ASSERT_EQ(other.OpenList(6), 0);
  ASSERT_EQ(other.Editor().InsertItem(&item), 0);
  EXPECT_FALSE(other.IndexIsCurrent());
  ASSERT_TRUE(other.Lookup().MatchFirstLockFreeAt("x", 1, kNow, &verdict));
  EXPECT_EQ(verdict, 1);
  const std::vector<uint8_t> after = ReadFileBytes(index_name);
  ASSERT_GE(after.size(), sizeof foreign);
  EXPECT_EQ(std::memcmp(after.data(), foreign, sizeof foreign), 0);

  // An index of an older version (one an earlier release left) is laid out
  // afresh, not left unused for ever.
  const std::string older_name = dir_.path() + "/SYSLIST_INDEX_7";
  const uint64_t older[3] = {LIST_INDEX_MAGIC, LIST_INDEX_VERSION - 1, 12345};
  WriteFileBytes(older_name, BytesOf(older, sizeof older));
  CSysListFileEx upgraded;
  ASSERT_EQ(upgraded.OpenList(7), 0);
  ASSERT_EQ(upgraded.Editor().InsertItem(&item), 0);
  EXPECT_TRUE(upgraded.IndexIsCurrent());
}

// Threads of one process: readers without the lock, on the writer's own
// object and on another, while a writer thread edits and grows the list.
TEST(LockFreeThreadsTest, ReadersOnTheWritersObjectAndOnTheirOwn) {
  TempListDir dir;
  CVarnex writer(8);
  ASSERT_EQ(writer.LoadFile(), 1);
  for (int i = 0; i < 50; ++i) {
    const std::string text = "keep" + std::to_string(i);
    NEW_AUDIT_LIST_ITEM item =
        MakeRecord("k" + std::to_string(i), static_cast<uint32_t>(text.size()), text);
    ASSERT_EQ(writer.AddItem(&item), 1);
  }
  CVarnex other(8);
  ASSERT_EQ(other.LoadFile(), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  auto read = [&](CVarnex* list) {
    for (int i = 0; !stop.load(); ++i) {
      const std::string text = "keep" + std::to_string(i % 50);
      if (list->IsMatch(text.c_str(), static_cast<uint32_t>(text.size())) != 1) ++wrong;
      if (list->IsMatch("gone", 4) != 0) ++wrong;
    }
  };
  std::thread same(read, &writer);
  std::thread own(read, &other);
  for (int i = 0; i < 400; ++i) {
    const std::string text = "edit" + std::to_string(i);
    NEW_AUDIT_LIST_ITEM item =
        MakeRecord("e" + std::to_string(i % 150), static_cast<uint32_t>(text.size()), text);
    ASSERT_EQ(writer.AddItem(&item), 1);
    if (i % 10 == 0) (void)writer.DeleteItem(("e" + std::to_string(i % 70)).c_str());
  }
  stop = true;
  same.join();
  own.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace varnex::test

// The sieve that tests eight places at once lets through exactly the pieces
// that the bitmap lets through one by one (as the writer set it), for every
// piece length, at every bitmap size.
TEST(InnerSieveTest, EightPlacesAtOnceAnswerAsOneByOne) {
  std::mt19937 rng(17);
  char text[64];
  for (char& c : text) c = static_cast<char>(rng());
  uint32_t pass = 0;
  for (const uint32_t bits : {9u, 12u, 16u, 24u, 26u}) {
    std::vector<uint32_t> bitmap((size_t{1} << bits) / 32);
    for (uint32_t& word : bitmap) word = rng() & rng();  // a quarter of the bits set
    for (int round = 0; round < 200; ++round) {
      for (char& c : text) c = static_cast<char>(round % 3 == 0 ? 'a' + rng() % 4 : rng());
      const uint32_t seed = round % 2 == 0 ? list_index::InnerSeed(1 + rng() % 4) : rng();
      for (uint32_t length = 1; length <= 4; ++length) {
        const uint32_t mask = length == 4 ? ~0u : (1u << (8 * length)) - 1;
        const size_t at = rng() % 40;
        if (!list_index::SieveEightPlaces(text + at, seed, mask, bitmap.data(), bits, &pass)) {
          GTEST_SKIP() << "this processor sieves one place at a time only";
        }
        for (uint32_t i = 0; i < 8; ++i) {
          uint32_t piece = 0;
          std::memcpy(&piece, text + at + i, length);
          const list_index::BitmapPlace place =
              list_index::InnerBitsOf(list_index::InnerSieveHash(seed, piece), bits);
          ASSERT_EQ((pass >> i & 1) != 0, (bitmap[place.nWord] & place.nBits) == place.nBits)
              << "bitmap bits " << bits << " length " << length << " place " << i;
        }
      }
    }
  }
}

namespace varnex::test {
namespace {

// A literal between stars is found at every place of a content of its key,
// whatever its length (its check compares it at the place where its anchor
// was met), and a content that holds it with its last byte changed is not
// matched.
TEST_F(LockFreeLookupTest, APieceInsideIsFoundAtEveryPlace) {
  constexpr uint32_t kKey = 24;
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(0), 0);
  ASSERT_TRUE(list.Editor().ResetToEmpty());
  std::vector<std::string> literals;
  for (size_t length = 1; length <= 12; ++length) {
    std::string literal;
    for (size_t i = 0; i < length; ++i) literal += static_cast<char>('a' + (length * 7 + i) % 26);
    literals.push_back(literal);
    const NEW_AUDIT_LIST_ITEM record =
        MakeRecord("r" + std::to_string(length), kKey, "*" + literal + "*", 1);
    ASSERT_EQ(list.Editor().InsertItem(&record), 0);
  }
  // A plain record of the key, so that the list is not only patterns.
  const NEW_AUDIT_LIST_ITEM plain = MakeRecord("plain", kKey, std::string(kKey, '0'), 1);
  ASSERT_EQ(list.Editor().InsertItem(&plain), 0);
  for (const std::string& literal : literals) {
    for (size_t place = 0; place + literal.size() <= kKey; ++place) {
      std::string content(kKey, '0');
      content.replace(place, literal.size(), literal);
      for (const bool changed : {false, true}) {
        std::string text = content;
        if (changed) text[place + literal.size() - 1] = '9';
        int fast = -1;
        ASSERT_TRUE(list.Lookup().MatchFirstLockFreeAt(text.c_str(), kKey, kNow, &fast));
        ASSERT_EQ(fast, list.Lookup().MatchFirstAt(text.c_str(), kKey, kNow))
            << "literal " << literal << " at " << place << (changed ? " changed" : "");
        if (!changed) {
          EXPECT_EQ(fast, 1) << literal << " at " << place;
        }
      }
    }
  }
  EXPECT_TRUE(list.IndexIsCurrent());
}

// The inner anchors' bitmap holds a word once, however many keys keep it,
// and takes no more pieces than it was laid out for: words replaced one by
// one, far past its room, lay the index out afresh instead. Every word is
// found without the lock meanwhile, and one taken out is not.
TEST_F(LockFreeLookupTest, TheBitmapHoldsAWordOnceAndStaysWithinItsRoom) {
  CSysListFileEx list;
  ASSERT_EQ(list.OpenList(0), 0);
  ASSERT_TRUE(list.Editor().ResetToEmpty());
  std::vector<NEW_AUDIT_LIST_ITEM> records;
  for (uint32_t key = 16; key < 48; ++key) {
    records.push_back(MakeRecord("needle" + std::to_string(key), key, "*needle*", 1));
  }
  int32_t done = 0, replaced = 0;
  ASSERT_EQ(list.Editor().InsertItems(records.data(), static_cast<int32_t>(records.size()), 60'000,
                                      &done, &replaced),
            0);
  auto header = [&] {
    ListIndex::Header read = {};
    std::ifstream in(dir_.path() + "/SYSLIST_INDEX_0", std::ios::binary);
    in.read(reinterpret_cast<char*>(&read), sizeof read);
    EXPECT_TRUE(in.good());
    return read;
  };
  EXPECT_EQ(header().nBitmapPieces, 1u);  // one word under 32 keys
  auto found = [&](const std::string& word, uint32_t key) {
    std::string content = std::string(key - word.size(), '0') + word;
    int verdict = -1;
    EXPECT_TRUE(list.Lookup().MatchFirstLockFreeAt(content.c_str(), key, kNow, &verdict));
    EXPECT_EQ(verdict, list.Lookup().MatchFirstAt(content.c_str(), key, kNow)) << word;
    return verdict == 1;
  };
  std::string previous;
  for (int i = 0; i < 300; ++i) {
    const std::string word = "w" + std::to_string(i * 7919) + "x";
    const uint32_t key = 16 + static_cast<uint32_t>(i) % 32;
    const NEW_AUDIT_LIST_ITEM record = MakeRecord("word", key, "*" + word + "*", 1);
    ASSERT_EQ(list.Editor().InsertItem(&record), 0);  // replaces the word before
    const ListIndex::Header now = header();
    ASSERT_LE(now.nBitmapPieces, list_index::BitmapPieceCapacity(now.nBitmapBits)) << i;
    ASSERT_TRUE(found(word, key)) << word;
    ASSERT_TRUE(found("needle", key));
    if (!previous.empty()) {
      ASSERT_FALSE(found(previous, key)) << previous;
    }
    previous = word;
  }
  EXPECT_TRUE(list.IndexIsCurrent());
}

// Two patterns of one key that share their anchor (the same text, one of
// them ended): replacing either (by a record of its rule number) leaves the
// other's verdict, for an inner, a suffix and a prefix anchor.
TEST_F(LockFreeLookupTest, ReplacingOneOfTwoPatternsOfOneAnchorLeavesTheOther) {
  struct Shape {
    const char* pattern;
    const char* content;  // 20 bytes, which the pattern matches
  };
  const Shape shapes[] = {{"*needle*", "abcdefghijklmnneedle"},
                          {"*.example.com", "abcdefgh.example.com"},
                          {"needle*", "needleabcdefghijklmn"}};
  for (const Shape& shape : shapes) {
    for (const bool bTakeOutLive : {true, false}) {
      SCOPED_TRACE(std::string(shape.pattern) + (bTakeOutLive ? ", live taken out" : ", ended"));
      CSysListFileEx list;
      ASSERT_EQ(list.OpenList(0), 0);
      ASSERT_TRUE(list.Editor().ResetToEmpty());
      const NEW_AUDIT_LIST_ITEM live = MakeRecord("live", 20, shape.pattern);
      NEW_AUDIT_LIST_ITEM ended = MakeRecord("ended", 20, shape.pattern);
      ended.dwEndTime = kNow - 1;
      ASSERT_EQ(list.Editor().InsertItem(&live), 0);
      ASSERT_EQ(list.Editor().InsertItem(&ended), 0);
      const NEW_AUDIT_LIST_ITEM replacement =
          MakeRecord(bTakeOutLive ? "live" : "ended", 20, "zzzzzzzzzzzzzzzzzzzz");
      ASSERT_EQ(list.Editor().InsertItem(&replacement), 0);
      int verdict = -1;
      ASSERT_TRUE(list.Lookup().MatchFirstLockFreeAt(shape.content, 20, kNow, &verdict));
      EXPECT_EQ(verdict, bTakeOutLive ? 0 : 1);
      EXPECT_EQ(verdict, list.Lookup().MatchFirstAt(shape.content, 20, kNow));
      EXPECT_TRUE(list.IndexIsCurrent());
    }
  }
}

}  // namespace
}  // namespace varnex::test
