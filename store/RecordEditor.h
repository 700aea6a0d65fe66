// CRecordEditor: every change to the records of a list: insert, replace,
// append, delete by rule number or type, purge, reset, and the batch insert.
// Each one is made through CListChanges as one journaled change, so it is
// made whole or not at all. None of them takes the list's lock: the caller
// holds it around each call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "store/ListChanges.h"
#include "store/ListView.h"
#include "store/RuleNoFilter.h"

class CRecordEditor {
 public:
  // fnFollowFile maps the file now at the list's path when another has
  // taken its name (see CSysListFileEx::FollowReplacedFile); false when the
  // list cannot be changed now.
  CRecordEditor(CListView& view, CListChanges& changes, std::function<bool()> fnFollowFile)
      : m_view(view), m_changes(changes), m_fnFollowFile(std::move(fnFollowFile)) {}
  CRecordEditor(const CRecordEditor&) = delete;
  CRecordEditor& operator=(const CRecordEditor&) = delete;

  // True when this process may change the list now: it is mapped, changes
  // are allowed, and the file at the path is the one mapped.
  bool ReadyToChange();

  // The first record in slots nFirst..nLast (inclusive) whose rule number
  // equals pszRuleNo without regard to the case of ASCII letters, as a
  // pointer into the view; null when there is none. Both rule numbers are
  // compared within their 32-byte fields, NUL or not.
  // REQUIRES: the list is open and 0 <= nFirst, nLast < the count.
  [[nodiscard]] NEW_AUDIT_LIST_ITEM* FindByRuleNo(const char* pszRuleNo, int nFirst, int nLast);

  // Stores a copy of *pItem: replaces the record with the same rule number,
  // or inserts it in key order (in front of the records with an equal key),
  // growing the file by 100 slots when it is full. A replacement whose key
  // differs moves to its sorted place. 0 stored; -1 list not open (or
  // read-only, or damaged); -2 null record; -3 growing the file failed; -4
  // mapping the grown file failed (the list is then closed), or the change
  // could not be made.
  [[nodiscard]] int InsertItem(const NEW_AUDIT_LIST_ITEM* pItem);
  // Stores pItems[0..nCount) as that many InsertItem calls would, one after
  // another, and leaves the same list, in one change; stops after the record
  // during which nBudgetMs milliseconds have passed. *pnDone receives how
  // many were stored and *pnReplaced how many of those replaced a record. 0,
  // or a code of InsertItem for the record that could not be stored.
  [[nodiscard]] int InsertItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                uint32_t nBudgetMs, int32_t* pnDone, int32_t* pnReplaced);
  // Stores a copy of *pItem after the last record, growing the file when it
  // is full. False when not stored.
  [[nodiscard]] bool AppendItem(const NEW_AUDIT_LIST_ITEM* pItem);
  // Stores nRecords records after the last one, whatever their keys, in one
  // change. 0 made (perhaps not yet flushed: the journal holds it); -1 not
  // made.
  [[nodiscard]] int AppendItems(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nRecords);
  // Deletes the records whose rule number equals the first 29 characters of
  // pszRuleNo: the first one, and each later one while at least two records
  // follow the one deleted before it. 0 done (also when nothing matched, the
  // list is empty or not open, or pszRuleNo is null); -2 the list is
  // read-only or could not be written to disk.
  [[nodiscard]] int DeleteByRuleNo(const char* pszRuleNo);
  // Deletes every record whose item type, sign-extended, equals nType. False
  // when the list is not open, is empty, or is read-only, or when nothing
  // could be recorded in the journal; else true.
  [[nodiscard]] bool DeleteByType(int nType);
  // Deletes the records whose end time is before dwNow, each together with
  // the records that share its rule number, as a sequence of DeleteByRuleNo
  // calls would; an outdated record that its own rule number cannot find (30
  // or more characters) is deleted by itself. 0 done; -1 not open; -2 empty,
  // read-only, or not written to disk.
  [[nodiscard]] int PurgeOutdatedAt(uint32_t dwNow);
  // Sets the count to 0, the format tag to 52, zeroes every byte after the
  // header and flushes. False when not mapped, read-only, the count is
  // negative, or the change could not be made.
  [[nodiscard]] bool ResetToEmpty();
  // Puts pRecords[0..nCount) in place of every record, in the file the list
  // has (for a system that cannot move a copy over a file that is mapped),
  // as one journaled change. 0 done; -3 or -4 when the file could not grow
  // or nothing could be written (nothing changed then).
  [[nodiscard]] int ReplaceAllRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount);
  // Writes an empty list over the whole file as one journaled change,
  // whatever the header holds. False when it could not be made.
  bool EmptyDamagedList();

 private:
  // The change counter as it stands; 0 when the list has none.
  uint64_t CounterNow() const;
  // The filter of rule numbers describes the list of nCount records as it
  // stands (made again when this process's insert made the last change).
  bool RuleNosKnown(uint32_t nCount);
  // After an insert: what the filter knows, brought up to the change made
  // (bMade), with the rule number of hash nAddedHash added where bKnown.
  void AfterInsert(bool bMade, bool bKnown, std::optional<uint64_t> nAddedHash);
  // Moves nMoveCount records from nMoveFrom to nMoveTo (one slot up or
  // down), writes the record into nSlot and sets the count to nNewCount, as
  // one journaled change. nReplaced: the slot of the record that the change
  // overwrites, or -1.
  struct Placement {
    uint32_t nMoveFrom = 0;
    uint32_t nMoveTo = 0;
    uint32_t nMoveCount = 0;  // none moves by default
    uint32_t nSlot = 0;
    int32_t nNewCount = 0;
    int64_t nReplaced = -1;  // no record overwritten
  };
  // 0 made; 1 made but not flushed; -1 not made.
  int PlaceRecord(const Placement& place, const NEW_AUDIT_LIST_ITEM& item);
  // Replaces record nIndex with item, moving it to its sorted place when its
  // key differs. 0 or -4 as InsertItem.
  int ReplaceAt(uint32_t nIndex, const NEW_AUDIT_LIST_ITEM& item, int32_t nCount);
  // Removes, in one change, the records for which bRemove(index, record) is
  // true (asked in increasing index order). Returns the number removed; -1
  // when the change could not be made; -2 when it was made but not flushed.
  int32_t CompactRecords(int32_t nCount,
                         const std::function<bool(uint32_t, const NEW_AUDIT_LIST_ITEM&)>& bRemove);
  // Writes an empty list over the whole view. False when not made.
  bool WriteEmpty();
  // Whether the records of a purge at dwNow are removed, slot by slot; false
  // when no memory could be had.
  bool PurgedSlots(int32_t nCount, uint32_t dwNow, std::vector<uint8_t>* pRemoved);
  // Replaces the records with pRecords[0..nCount) (nCount >= the count) as
  // one journaled change. False when nothing was changed.
  bool RewriteRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount);
  // Writes *ppRecords[0..nCount) into the empty list as one change whose
  // way back (to empty) is what the journal keeps: the records are written
  // once, into the list file, and flushed there. False when nothing was
  // changed.
  bool FillEmptyList(const NEW_AUDIT_LIST_ITEM* const* ppRecords, uint32_t nCount);
  // Stores the records as InsertItem would, one after another, until the
  // deadline has passed, in one change; counts into *pnDone and *pnReplaced.
  int InsertOneByOne(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                     std::chrono::steady_clock::time_point deadline, int32_t* pnDone,
                     int32_t* pnReplaced);
  // True when the first nCount records stand in key order.
  bool InKeyOrder(int32_t nCount) const;

  CListView& m_view;
  CListChanges& m_changes;
  std::function<bool()> m_fnFollowFile;
  RuleNoFilter m_ruleNos;
  uint64_t m_nLastInsertCounter = 0;  // the counter after this process's last insert
};
