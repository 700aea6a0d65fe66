// The IP manage list and white list.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/TestSupport.h"
#include "varnex/Varnex.h"

namespace varnex::test {
namespace {

class IpListTest : public ::testing::Test {
 protected:
  // The kinds of the list's entries, in order: 'W', 'M' or the type digit.
  std::string Kinds() {
    std::string kinds;
    const int32_t count = list_.GetTotalCount();
    for (int32_t i = 0; i < count; ++i) {
      NEW_AUDIT_LIST_ITEM record;
      EXPECT_EQ(list_.GetItem(i, &record), 0);
      kinds += record.cItemType == IP_LIST_WHITE    ? 'W'
               : record.cItemType == IP_LIST_MANAGE ? 'M'
                                                    : static_cast<char>('0' + record.cItemType);
    }
    return kinds;
  }
  void Fill(const std::string& kinds) {
    uint32_t n = 0;
    for (char kind : kinds) {
      ++n;
      if (kind == 'W') {
        ASSERT_TRUE(list_.AddWhiteList(n, n));
      } else if (kind == 'M') {
        ASSERT_TRUE(list_.AddManageList(n, n, 0));
      } else {
        NEW_AUDIT_LIST_ITEM other =
            MakeRecord("other" + std::to_string(n), 1, "", static_cast<int8_t>(kind - '0'));
        ASSERT_EQ(list_.AddItem(&other), 1);
      }
    }
  }

  TempListDir dir_;
  CManaListEx list_;
};

TEST_F(IpListTest, EmptyListManagesEveryAddressAndWhitelistsNone) {
  for (uint32_t ip : {0u, 1u, 0x7F000001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(list_.IsMatch(ip, IP_LIST_MANAGE), 1);
    EXPECT_EQ(list_.IsMatch(ip, IP_LIST_WHITE), 0);
  }
}

TEST_F(IpListTest, BoundsAreInclusiveAndUnsigned) {
  ASSERT_TRUE(list_.AddManageList(10, 20, 77));
  ASSERT_TRUE(list_.AddWhiteList(30, 25));  // start above end: covers nothing
  struct Case {
    uint32_t ip;
    int32_t managed;
  } cases[] = {{9, 0}, {10, 1}, {15, 1}, {20, 1}, {21, 0}};
  for (const Case& c : cases) EXPECT_EQ(list_.IsMatch(c.ip, IP_LIST_MANAGE), c.managed) << c.ip;
  for (uint32_t ip : {25u, 27u, 30u}) EXPECT_EQ(list_.IsMatch(ip, IP_LIST_WHITE), 0) << ip;
  ASSERT_TRUE(list_.AddWhiteList(1, 0xFFFFFFFFu));
  EXPECT_EQ(list_.IsMatch(0x80000001u, IP_LIST_WHITE), 1) << "an address with the top bit set";
  EXPECT_EQ(list_.IsMatch(0, IP_LIST_WHITE), 0);
}

TEST_F(IpListTest, WhiteEntriesAloneManageNothing) {
  ASSERT_TRUE(list_.AddWhiteList(1, 100));
  EXPECT_EQ(list_.IsMatch(50, IP_LIST_MANAGE), 0);
  EXPECT_EQ(list_.IsMatch(50, IP_LIST_WHITE), 1);
}

TEST_F(IpListTest, OtherKindsAreRefusedWithoutReadingTheList) {
  ASSERT_TRUE(list_.AddWhiteList(1, 100));
  ASSERT_TRUE(list_.AddManageList(1, 100, 0));
  for (int32_t kind : {2, -1, 100}) EXPECT_EQ(list_.IsMatch(50, kind), 0) << kind;
}

TEST_F(IpListTest, EntriesAreStoredByteForByte) {
  ASSERT_TRUE(list_.AddManageList(0x01020304u, 0x05060708u, 0xA1B2C3D4u));
  ASSERT_TRUE(list_.AddWhiteList(9, 10));
  NEW_AUDIT_LIST_ITEM expected;
  std::memset(&expected, 0, sizeof expected);
  const uint8_t ip_bytes[] = {4, 3, 2, 1, 8, 7, 6, 5, 0xD4, 0xC3, 0xB2, 0xA1};
  std::memcpy(expected.szContent, ip_bytes, sizeof ip_bytes);
  expected.cItemType = 1;
  NEW_AUDIT_LIST_ITEM record;
  ASSERT_EQ(list_.GetItem(0, &record), 0);
  EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0);
  ASSERT_EQ(list_.GetItem(1, &record), 0);
  EXPECT_EQ(record.cItemType, 0);
  EXPECT_EQ(record.szContent[8], 0) << "a white entry stores no value";
}

TEST_F(IpListTest, DuplicateRangesAreKeptAndResetTogether) {
  ASSERT_TRUE(list_.AddWhiteList(1, 5));
  ASSERT_TRUE(list_.AddWhiteList(1, 5));
  EXPECT_EQ(list_.GetTotalCount(), 2);
  EXPECT_EQ(list_.IsMatch(3, IP_LIST_WHITE), 1);
  list_.ResetAllWhiteList();
  EXPECT_EQ(list_.GetTotalCount(), 0);
}

TEST_F(IpListTest, ResetsRemoveOneKindAndKeepTheOrderOfTheRest) {
  struct Case {
    std::string before;
    bool manage;
    std::string after;
  } cases[] = {
      {"WMWM", true, "WW"}, {"WMWM", false, "MM"}, {"M", true, ""},
      {"MW", false, "M"},   {"W2MW", true, "W2W"}, {"2W2", false, "22"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(list_.ResetFileToEmpty());
    Fill(c.before);
    if (c.manage) {
      list_.ResetAllManageList();
    } else {
      list_.ResetAllWhiteList();
    }
    EXPECT_EQ(Kinds(), c.after) << c.before << (c.manage ? " less M" : " less W");
  }
}

TEST_F(IpListTest, RecordsOfOtherTypesAreIgnoredByTheTests) {
  Fill("2");
  EXPECT_EQ(list_.IsMatch(1, IP_LIST_MANAGE), 0) << "the list holds a record, no manage entry";
  EXPECT_EQ(list_.IsMatch(1, IP_LIST_WHITE), 0);
}

TEST_F(IpListTest, CopiesShareTheList) {
  ASSERT_TRUE(list_.AddWhiteList(1, 2));
  alignas(CManaListEx) unsigned char storage[sizeof(CManaListEx)];
  CManaListEx* copy = new (storage) CManaListEx(list_);  // never destroyed: one owner
  EXPECT_EQ(copy->IsMatch(2, IP_LIST_WHITE), 1);
  CVarnex& base = *copy;
  EXPECT_EQ(base.GetTotalCount(), 1);
}

TEST(IpListUnloadedTest, ListThatDidNotLoadAnswersAsEmpty) {
  TempListDir dir;
  const std::string missing = dir.path() + "/missing";
  SetEnvironment("VARNEX_SYSTEM_DIR", missing.c_str());
  SetEnvironment("VARNEX_DEBUG_OUTPUT", "stderr");
  StderrCapture capture;
  CManaListEx list;
  EXPECT_EQ(capture.Finish(), "装入类型为:4的列表文件失败(failed:-1)!\n");
  EXPECT_FALSE(list.AddWhiteList(1, 2));
  EXPECT_FALSE(list.AddManageList(1, 2, 3));
  EXPECT_EQ(list.IsMatch(1, IP_LIST_MANAGE), 1);
  EXPECT_EQ(list.IsMatch(1, IP_LIST_WHITE), 0);
  list.ResetAllManageList();
  list.ResetAllWhiteList();
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
  SetEnvironment("VARNEX_SYSTEM_DIR", dir.path().c_str());
}

}  // namespace
}  // namespace varnex::test
