// CListLookup: every read of a list's records that answers a caller: the
// verdict match, the listing match, the address test of the IP list, and
// the count and copies of records, each without the lock where it can be.
//
// What a lookup without the lock trusts: the view that CListView published,
// the record count read once from the header and checked against that
// view's capacity, and the lookup index only when the state file says it was
// vouched for in this run of the machine and the index names the counter
// value and the file read. Everything read is thrown away unless the change
// counter was even before and unchanged after (see ListState.h); a lookup
// that keeps meeting writers, or needs the file mapped again, sends its
// caller to the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "store/ListChanges.h"
#include "store/ListView.h"

// How long a change counter may stay at one odd value before readers take
// its writer for dead: as long as a writer may wait for the lock.
inline constexpr int64_t LIST_STUCK_CHANGE_MS = 500;

class CListLookup {
 public:
  CListLookup(CListView& view, CListChanges& changes) : m_view(view), m_changes(changes) {}
  CListLookup(const CListLookup&) = delete;
  CListLookup& operator=(const CListLookup&) = delete;

  // Readers without the lock. Each answers as the call with the lock would at
  // some moment during the call and returns true; or returns false when the
  // caller must take the lock and call the locked form.
  [[nodiscard]] bool GetCountLockFree(int32_t* pnCount);
  // True when the change counter is odd and has stayed at its value for so
  // long that its writer must have died (see m_nStuckAt).
  bool ChangeStuck() const;
  // True when the change counter stands in the middle of a change and stays
  // there for LIST_STUCK_CHANGE_MS: a writer died inside it. Waits that long
  // at the most; false at once when no change is under way.
  bool ChangeUnfinished() const;
  [[nodiscard]] bool GetItemAtLockFree(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem, int* pnResult);
  [[nodiscard]] bool GetItemsLockFree(std::vector<NEW_AUDIT_LIST_ITEM>* pRecords);
  [[nodiscard]] bool MatchFirstLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                          uint32_t dwNow, int* pnVerdict);
  [[nodiscard]] bool MatchAllLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                        uint32_t dwNow, int32_t& nItemType, int32_t& nMatchCount,
                                        AUDIT_RESULT_LIST** ppList);
  [[nodiscard]] bool CoversAddressLockFree(uint32_t dwIP, int8_t cKind, int* pnCovered);
  // The records that make the verdict match say 1 (see VerdictByScan), whole
  // and in list order.
  [[nodiscard]] bool DecidingLockFreeAt(const char* pszContent, uint32_t dwContentLen,
                                        uint32_t dwNow, std::vector<NEW_AUDIT_LIST_ITEM>* pOut);

  // The same, under the lock (the caller holds it).
  void DecidingAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow,
                  std::vector<NEW_AUDIT_LIST_ITEM>* pOut);
  [[nodiscard]] int MatchFirstAt(const char* pszContent, uint32_t dwContentLen, uint32_t dwNow);
  [[nodiscard]] AUDIT_RESULT_LIST* MatchAllAt(const char* pszContent, uint32_t dwContentLen,
                                              int32_t& nItemType, int32_t& nMatchCount,
                                              uint32_t dwNow);
  [[nodiscard]] int CoversAddress(uint32_t dwIP, int8_t cKind);

 private:
  // The list as a reader without the lock sees it.
  struct StableView {
    const uint8_t* pView;  // null when the list is not open
    int32_t nCount;        // -1 for a damaged header
    uint64_t nCounter;     // the change counter's value meanwhile
  };
  // Runs fnRead(view) until it ran while no writer changed the list; false
  // when the caller must take the lock. fnRead may run more than once and
  // must start afresh each time.
  template <typename Read>
  bool ReadStable(Read fnRead);
  // Waits until no writer is active; false when one stays active too long.
  bool WaitForEvenCounter(const uint64_t* pCounter, uint64_t* pnValue);

  // The verdict on the nCount records at pItems, by the binary search and
  // the scan of the equal run.
  static int VerdictByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                           uint32_t dwContentLen, uint32_t dwNow);
  static void DecidingByScan(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                             uint32_t dwContentLen, uint32_t dwNow,
                             std::vector<NEW_AUDIT_LIST_ITEM>* pOut);
  // Copies the records that the listing match finds among the nCount
  // records at pItems into *pHits, in scan order.
  void CollectMatches(const uint8_t* pItems, int32_t nCount, const char* pszContent,
                      uint32_t dwContentLen, uint32_t dwNow,
                      std::vector<NEW_AUDIT_LIST_ITEM>* pHits) const;
  static int CoversAddressIn(const uint8_t* pItems, int32_t nCount, uint32_t dwIP, int8_t cKind);

  CListView& m_view;
  CListChanges& m_changes;
  // An odd counter value that has not moved for LIST_STUCK_CHANGE_MS: a
  // writer died inside its change. Lookups do not wait for it again; the
  // caller answers from the list as it stands until the value changes (or,
  // in a writer, finishes the change under the lock).
  std::atomic<uint64_t> m_nStuckAt{0};
  // The odd value a wait last ran out on, and when it was first met.
  std::atomic<uint64_t> m_nOddSeen{0};
  std::atomic<int64_t> m_nOddSeenSinceMs{0};
};
