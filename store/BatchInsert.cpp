// The batch insert of CRecordEditor.
//
// A batch is replayed on a model of the list: in a list in key order, an
// insert goes in front of the records with its key, a replacement with the
// same key keeps its place, and one with another key goes in front of the
// records with the new key. So the final order is by key, and within a key by
// the time of the last insert or move, newest first; records already in the
// list keep their order behind them. The model is sorted once and written
// back once, instead of shifting the tail of the file for every record.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/RecordEditor.h"
#include "store/RuleNumbers.h"
#include "store/SharedAccess.h"

namespace sa = shared_access;

bool CRecordEditor::InKeyOrder(int32_t nCount) const {
  const NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  for (int32_t i = 1; i < nCount; ++i) {
    if (pItems[i - 1].nContentLen > pItems[i].nContentLen) return false;
  }
  return true;
}

int CRecordEditor::InsertOneByOne(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                                  std::chrono::steady_clock::time_point deadline, int32_t* pnDone,
                                  int32_t* pnReplaced) {
  for (int32_t i = 0; i < nCount; ++i) {
    const int32_t nBefore = m_view.UsableCount();
    const int nResult = InsertItem(&pItems[i]);
    if (nResult != 0) return nResult;
    ++*pnDone;
    if (m_view.UsableCount() == nBefore) ++*pnReplaced;
    if (std::chrono::steady_clock::now() > deadline) break;
  }
  return 0;
}

int CRecordEditor::InsertItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                               uint32_t nBudgetMs, int32_t* pnDone, int32_t* pnReplaced) {
  *pnDone = 0;
  *pnReplaced = 0;
  if (m_view.Items() == nullptr || !ReadyToChange()) return -1;
  if (pItems == nullptr) return -2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nBudgetMs);
  const int32_t nOld = m_view.UsableCount();
  if (nOld < 0) return -1;
  if (!InKeyOrder(nOld)) {
    // Out of key order the inserts depend on where each record stands: they
    // are made one at a time.
    return InsertOneByOne(pItems, nCount, deadline, pnDone, pnReplaced);
  }
  try {
    struct Entry {
      NEW_AUDIT_LIST_ITEM record;
      int64_t nStamp;  // larger: further to the front among equal keys
    };
    const NEW_AUDIT_LIST_ITEM* pOld = m_view.Items();
    std::vector<Entry> entries;
    entries.reserve(size_t(nOld) + size_t(nCount));
    std::unordered_map<std::string, std::vector<uint32_t>, RuleNoHash, std::equal_to<>> byRule;
    char szFolded[LIST_RULE_NO_SIZE];
    for (int32_t i = 0; i < nOld; ++i) {
      entries.push_back(Entry{pOld[i], -int64_t{i}});
      byRule[std::string(FoldRuleNo(pOld[i].szRuleNo, LIST_RULE_NO_SIZE, szFolded))].push_back(
          static_cast<uint32_t>(i));
    }
    // The record that a search by rule number finds first: the one that
    // stands first in the list.
    auto standsBefore = [&](uint32_t a, uint32_t b) {
      const uint32_t ka = entries[a].record.nContentLen, kb = entries[b].record.nContentLen;
      return ka != kb ? ka < kb : entries[a].nStamp > entries[b].nStamp;
    };
    int64_t nStamp = 0;
    int32_t nDone = 0, nReplaced = 0;
    for (; nDone < nCount; ++nDone) {
      NEW_AUDIT_LIST_ITEM item;
      std::memcpy(&item, &pItems[nDone], sizeof item);
      std::vector<uint32_t>& sameRule =
          byRule[std::string(FoldRuleNo(item.szRuleNo, LIST_RULE_NO_SIZE, szFolded))];
      if (!sameRule.empty()) {
        const uint32_t nFound = *std::min_element(sameRule.begin(), sameRule.end(), standsBefore);
        Entry& entry = entries[nFound];
        if (entry.record.nContentLen != item.nContentLen) entry.nStamp = ++nStamp;
        entry.record = item;
        ++nReplaced;
      } else {
        sameRule.push_back(static_cast<uint32_t>(entries.size()));
        entries.push_back(Entry{item, ++nStamp});
      }
      if ((nDone & 255) == 255 && std::chrono::steady_clock::now() > deadline) {
        ++nDone;
        break;
      }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      const uint32_t ka = a.record.nContentLen, kb = b.record.nContentLen;
      return ka != kb ? ka < kb : a.nStamp > b.nStamp;
    });
    const uint32_t nNew = static_cast<uint32_t>(entries.size());
    const int nGrow = m_view.EnsureCapacityAbove(nNew);
    if (nGrow != 0) return nGrow;
    std::vector<NEW_AUDIT_LIST_ITEM> records(nNew);
    for (uint32_t i = 0; i < nNew; ++i) records[i] = entries[i].record;
    if (!RewriteRecords(records.data(), nNew)) return -4;
    *pnDone = nDone;
    *pnReplaced = nReplaced;
    return 0;
  } catch (...) {  // an allocation failed before the list was changed
    return -2;
  }
}

bool CRecordEditor::RewriteRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  const int32_t nOld = m_view.Header()->nItemCount;
  ListChange change = m_changes.ChangeOf(0, nCount, static_cast<int32_t>(nCount));
  if (nOld > 0 && static_cast<uint32_t>(nOld) > nCount) {
    change.nZeroEnd = static_cast<uint32_t>(nOld);
  }
  const JournalPiece piece = {pRecords, size_t{nCount} * LIST_ITEM_SIZE};
  return m_changes.MakeChange(change, &piece, 1, nullptr, [&] {
    sa::Write(pItems, pRecords, size_t{nCount} * LIST_ITEM_SIZE);
    if (change.nZeroEnd > nCount) {
      sa::Zero(&pItems[nCount], size_t{change.nZeroEnd - nCount} * LIST_ITEM_SIZE);
    }
    m_view.StoreCount(static_cast<int32_t>(nCount));
  }) >= 0;
}
