// List files that are missing, short, damaged, linked or not files at all:
// reading touches nothing, writing follows no link, and nothing is lost.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/ListFormat.h"
#include "tests/ListModel.h"
#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

namespace fs = std::filesystem;

// Everything in a directory, with each file's bytes (or link target).
std::vector<std::pair<std::string, std::vector<uint8_t>>> Snapshot(const std::string& dir) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> entries;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string path = entry.path().string();
    std::vector<uint8_t> bytes;
    if (entry.is_symlink()) {
      const std::string target = fs::read_symlink(entry.path()).string();
      bytes.assign(target.begin(), target.end());
    } else if (entry.is_regular_file()) {
      bytes = ReadFileBytes(path);
    }
    entries.emplace_back(path, bytes);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::vector<uint8_t> ListBytes(int count, int32_t tag = LIST_FORMAT_TAG,
                               int32_t stored_count = -2) {
  std::vector<uint8_t> bytes(ListSlotOffset(100), 0);
  LIST_FILE_HEADER header = {};
  header.nItemCount = stored_count == -2 ? count : stored_count;
  header.nFormatTag = tag;
  std::memcpy(bytes.data(), &header, sizeof header);
  for (int i = 0; i < count; ++i) {
    NEW_AUDIT_LIST_ITEM item = MakeRecord("r" + std::to_string(i), 4, "word");
    std::memcpy(bytes.data() + ListSlotOffset(i), &item, sizeof item);
  }
  return bytes;
}

class HostileFileTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.FilePath(0); }
  TempListDir dir_;
};

struct State {
  const char* what;
  std::function<void(const std::string& path, const std::string& dir)> make;
  int32_t load_result;  // of LoadFileForReading
};

const std::vector<State>& States() {
  static const std::vector<State> states = {
      {"missing", [](const std::string&, const std::string&) {}, 0},
      {"empty", [](const std::string& p, const std::string&) { WriteFileBytes(p, {}); }, 0},
      {"10 bytes",
       [](const std::string& p, const std::string&) {
         WriteFileBytes(p, std::vector<uint8_t>(10, 7));
       },
       0},
      {"a header without slots",
       [](const std::string& p, const std::string&) {
         auto bytes = ListBytes(0);
         bytes.resize(100);
         WriteFileBytes(p, bytes);
       },
       1},
      {"a wrong format tag",
       [](const std::string& p, const std::string&) { WriteFileBytes(p, ListBytes(3, 51)); }, 2},
      {"a negative count",
       [](const std::string& p, const std::string&) { WriteFileBytes(p, ListBytes(3, 52, -5)); },
       2},
      {"a count the file cannot hold",
       [](const std::string& p, const std::string&) { WriteFileBytes(p, ListBytes(3, 52, 100)); },
       2},
      {"a sound list",
       [](const std::string& p, const std::string&) { WriteFileBytes(p, ListBytes(3)); }, 1},
      {"a symbolic link to a list",
       [](const std::string& p, const std::string& dir) {
         WriteFileBytes(dir + "/victim", ListBytes(3, 51));
         fs::create_symlink(dir + "/victim", p);
       },
       0},
      {"a dangling symbolic link",
       [](const std::string& p, const std::string& dir) {
         fs::create_symlink(dir + "/nowhere", p);
       },
       0},
      {"a named pipe", [](const std::string& p, const std::string&) { mkfifo(p.c_str(), 0644); },
       0},
      {"a directory", [](const std::string& p, const std::string&) { fs::create_directory(p); }, 0},
  };
  return states;
}

// Reading a list changes nothing, whatever the list file is.
TEST_F(HostileFileTest, ReadingTouchesNothing) {
  for (const State& state : States()) {
    SCOPED_TRACE(state.what);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove_all(entry.path());
    state.make(Path(), dir_.path());
    const auto before = Snapshot(dir_.path());
    {
      CVarnex list(0);
      EXPECT_EQ(list.LoadFileForReading(), state.load_result);
      const int32_t count = list.GetTotalCount();
      EXPECT_EQ(count, state.load_result == 1 && before.size() == 1 ? count : 0);
      (void)list.IsMatch("word", 4);
      std::vector<NEW_AUDIT_LIST_ITEM> all(8);
      (void)list.GetItems(all.data(), 8);
      NEW_AUDIT_LIST_ITEM item = MakeRecord("new", 4, "new");
      EXPECT_EQ(list.AddItem(&item), 0);
      EXPECT_FALSE(list.ResetFileToEmpty());
    }
    EXPECT_EQ(Snapshot(dir_.path()), before);
  }
}

// A writer follows no link and writes into nothing but a regular list file,
// and a damaged list is kept before an empty one takes its place.
TEST_F(HostileFileTest, WritingFollowsNoLinkAndKeepsDamagedLists) {
  SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr");
  for (const State& state : States()) {
    SCOPED_TRACE(state.what);
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove_all(entry.path());
    state.make(Path(), dir_.path());
    const bool regular = fs::is_regular_file(fs::symlink_status(Path()));
    const bool linked = fs::is_symlink(fs::symlink_status(Path()));
    const bool missing = !fs::exists(fs::symlink_status(Path()));
    const auto original = regular ? ReadFileBytes(Path()) : std::vector<uint8_t>();
    const auto victim = ReadFileBytes(dir_.path() + "/victim");
    StderrCapture capture;
    CVarnex list(0);
    const int32_t loaded = list.LoadFile();
    const std::string debug = capture.Finish();
    if (state.load_result == 2) {
      EXPECT_EQ(loaded, 2);
      EXPECT_EQ(list.GetTotalCount(), 0);
      EXPECT_NE(debug.find("damaged"), std::string::npos) << debug;
      int kept = 0;
      for (const auto& entry : fs::directory_iterator(dir_.path())) {
        if (entry.path().filename().string().rfind("BaseList.sys.damaged-", 0) == 0) {
          ++kept;
          EXPECT_EQ(ReadFileBytes(entry.path().string()), original);
        }
      }
      EXPECT_EQ(kept, 1);
    } else if (linked || !(regular || missing)) {
      EXPECT_EQ(loaded, 0);  // never followed, never replaced
    } else {
      EXPECT_EQ(loaded, 1);
      NEW_AUDIT_LIST_ITEM item = MakeRecord("new", 4, "new");
      EXPECT_EQ(list.AddItem(&item), 1);
      EXPECT_EQ(list.IsMatch("NEW", 3), 0);
      EXPECT_EQ(list.IsMatch("new", 4), 1);
      const auto bytes = ReadFileBytes(Path());
      EXPECT_GE(ListCapacityOfSize(bytes.size()), 100u);
      if (original.size() >= LIST_HEADER_SIZE && state.load_result == 1) {
        // What the file held stays: records come through, the header holds.
        EXPECT_EQ(list.GetTotalCount(), static_cast<int32_t>(ReadListRecords(Path()).size()));
      }
    }
    EXPECT_EQ(ReadFileBytes(dir_.path() + "/victim"), victim);
    EXPECT_FALSE(fs::exists(dir_.path() + "/nowhere"));
  }
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
}

// Many records with the same key and text (a hostile file) are looked up
// right; the index gives way to the scan instead of taking quadratic time.
TEST_F(HostileFileTest, ManyEqualRecordsAreLookedUpRight) {
  constexpr int kCount = 30000;
  std::vector<NEW_AUDIT_LIST_ITEM> records(kCount, MakeRecord("same", 4, "same"));
  records.push_back(MakeRecord("other", 5, "other"));
  std::vector<uint8_t> bytes(ListSlotOffset(kCount + 100), 0);
  bytes[offsetof(LIST_FILE_HEADER, nFormatTag)] = LIST_FORMAT_TAG;
  WriteFileBytes(Path(), bytes);
  WriteRecordsRaw(Path(), records);
  CVarnex list(0);
  ASSERT_EQ(list.LoadFile(), 1);
  EXPECT_EQ(list.IsMatch("SAME", 4), 1);
  EXPECT_EQ(list.IsMatch("sama", 4), 0);
  EXPECT_EQ(list.IsMatch("other", 5), 1);
}

}  // namespace
}  // namespace varnex::test

namespace varnex::test {
namespace {

// A list file replaced under a writer (renamed over, or put back with
// ReplaceFile) is the one that the writer changes from then on, and the one
// that every holder reads; a list whose file is gone is not changed at all.
TEST(ReplacedFileTest, HoldersFollowTheFileAtThePath) {
  TempListDir dir;
  const std::string path = dir.FilePath(1);
  CVarnex writer(1), reader(1);
  ASSERT_EQ(writer.LoadFile(), 1);
  ASSERT_EQ(reader.LoadFileForReading(), 1);
  NEW_AUDIT_LIST_ITEM item = MakeRecord("old", 3, "old");
  ASSERT_EQ(writer.AddItem(&item), 1);

  // Renamed over by an operator: the next change goes into the new file.
  std::vector<uint8_t> replacement = ReadFileBytes(path);
  const std::string staged = dir.path() + "/staged";
  CVarnex(2).LoadFile();  // a sound empty list file to copy
  WriteFileBytes(staged, ReadFileBytes(dir.FilePath(2)));
  ASSERT_EQ(rename(staged.c_str(), path.c_str()), 0);
  item = MakeRecord("new", 3, "new");
  ASSERT_EQ(writer.AddItem(&item), 1);
  auto records = ReadListRecords(path);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_STREQ(records[0].szRuleNo, "new");
  EXPECT_EQ(reader.IsMatch("new", 3), 1);
  EXPECT_EQ(reader.IsMatch("old", 3), 0);

  // Put back from a copy through the library.
  WriteFileBytes(staged, replacement);
  EXPECT_EQ(writer.ReplaceFile(staged.c_str()), 1);
  EXPECT_EQ(reader.IsMatch("old", 3), 1);
  EXPECT_EQ(reader.IsMatch("new", 3), 0);
  EXPECT_EQ(writer.GetTotalCount(), 1);
  EXPECT_FALSE(std::filesystem::exists(path + ".restoring"));
  // A copy that is no list file is refused, and nothing changes.
  WriteFileBytes(staged, std::vector<uint8_t>(500, 0x41));
  EXPECT_EQ(writer.ReplaceFile(staged.c_str()), 0);
  EXPECT_EQ(ReadFileBytes(path), replacement);

  // Gone: changes fail, and no file appears or grows anywhere.
  ASSERT_EQ(rename(path.c_str(), staged.c_str()), 0);
  const auto moved_away = ReadFileBytes(staged);
  for (int i = 0; i < 3; ++i) {
    item = MakeRecord("lost" + std::to_string(i), 4, "lost");
    EXPECT_EQ(writer.AddItem(&item), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(ReadFileBytes(staged), moved_away);
}

}  // namespace
}  // namespace varnex::test
