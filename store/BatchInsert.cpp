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
#include <bit>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Compiler.h"
#include "store/AsciiText.h"
#include "store/RecordEditor.h"
#include "store/RuleNumbers.h"
#include "store/SharedAccess.h"

namespace sa = shared_access;

namespace {

// The records of the model by rule number (compared as RuleNoEquals does):
// an open-addressing table of the first record of each rule number, with
// the rule number's hash beside it so that a probe reads a record only when
// the hashes agree, and a chain through the others with the same one.
// The model's records: where each one's bytes are (in the list, or in the
// caller's batch), so that a record is copied once, into its sorted place.
using Records = std::vector<const NEW_AUDIT_LIST_ITEM*>;

class RuleIndex {
 public:
  static constexpr uint32_t kNone = ~0u;

  explicit RuleIndex(size_t nRecords) {
    size_t nSize = 64;
    while (nSize < 2 * nRecords) nSize *= 2;
    m_heads.assign(nSize, Head{0, kNone});
    m_next.reserve(nRecords);
  }
  // The rule number folded as RuleNoEquals compares it, in four words
  // (bytes after its NUL zero), mixed. pszRuleNo is a record's field: all
  // of its bytes may be read.
  static uint64_t HashOf(const char* pszRuleNo) {
    static_assert(sizeof(NEW_AUDIT_LIST_ITEM::szRuleNo) == 4 * sizeof(uint64_t));
    uint64_t nWords[4];
    std::memcpy(nWords, pszRuleNo, sizeof nWords);
    size_t nLength = sizeof nWords;
    for (size_t w = 0; w < 4; ++w) {
      if (nLength < sizeof nWords) {
        nWords[w] = 0;
        continue;
      }
      // The lowest byte flagged here is the first NUL (little-endian).
      const uint64_t x = nWords[w];
      const uint64_t nZeros = (x - 0x0101010101010101ULL) & ~x & 0x8080808080808080ULL;
      if (nZeros != 0) {
        const unsigned nByte = static_cast<unsigned>(std::countr_zero(nZeros)) / 8;
        nLength = w * 8 + nByte;
        nWords[w] = nByte == 0 ? 0 : x & ((uint64_t{1} << (8 * nByte)) - 1);
      }
    }
    uint64_t h = nLength * 0x9e3779b97f4a7c15ULL;
    for (uint64_t nWord : nWords) h = (h ^ UpperWord(nWord)) * 0xbf58476d1ce4e5b9ULL;
    return h ^ (h >> 31);
  }
  // Starts fetching the table's memory where a rule number of hash nHash
  // is looked for.
  void Prefetch(uint64_t nHash) const {
    varnex::platform::Prefetch(&m_heads[(nHash >> 32) & (m_heads.size() - 1)]);
  }
  // The first record with the rule number pszRuleNo (of hash nHash); kNone
  // when none.
  uint32_t First(const Records& records, const char* pszRuleNo, uint64_t nHash) const {
    return m_heads[Find(records, pszRuleNo, nHash)].nRecord;
  }
  uint32_t Next(uint32_t nRecord) const { return m_next[nRecord]; }
  // Adds record nRecord (the next one of the model), whose rule number has
  // the hash nHash.
  void Add(const Records& records, uint32_t nRecord, uint64_t nHash) {
    const char* pszRuleNo = records[nRecord]->szRuleNo;
    Head& head = m_heads[Find(records, pszRuleNo, nHash)];
    m_next.push_back(head.nRecord);  // the chain keeps every record of the rule number
    head = Head{static_cast<uint32_t>(nHash), nRecord};
  }

 private:
  struct Head {
    uint32_t nHash;
    uint32_t nRecord;
  };

  size_t Find(const Records& records, const char* pszRuleNo, uint64_t nHash) const {
    const size_t nMask = m_heads.size() - 1;
    for (size_t i = (nHash >> 32) & nMask;; i = (i + 1) & nMask) {
      const Head& head = m_heads[i];
      if (head.nRecord == kNone) return i;
      if (head.nHash == static_cast<uint32_t>(nHash) &&
          RuleNoEquals(records[head.nRecord]->szRuleNo, pszRuleNo)) {
        return i;
      }
    }
  }

  std::vector<Head> m_heads;
  std::vector<uint32_t> m_next;
};

}  // namespace

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
  // The inserts are made on a copy of the list, each as InsertItem makes it
  // (the first record of the rule number replaced, moving when its key
  // changes; a new record in front of the records with a key at least its
  // own, searched from the end), then written back as one change: a batch
  // is on the disk whole or not at all.
  std::vector<NEW_AUDIT_LIST_ITEM> list;
  try {
    const int32_t nOld = m_view.UsableCount();
    if (nOld < 0) return -1;
    list.reserve(size_t(nOld) + size_t(nCount));
    list.assign(m_view.Items(), m_view.Items() + nOld);
  } catch (...) {  // no memory: nothing changed
    return -2;
  }
  auto placeOf = [&](uint32_t nKey) {
    size_t nTarget = list.size();
    while (nTarget > 0 && list[nTarget - 1].nContentLen >= nKey) --nTarget;
    return nTarget;
  };
  int32_t nDone = 0, nReplaced = 0;
  for (; nDone < nCount; ++nDone) {
    const NEW_AUDIT_LIST_ITEM& item = pItems[nDone];
    const auto found = std::find_if(list.begin(), list.end(), [&](const auto& record) {
      return RuleNoEquals(record.szRuleNo, item.szRuleNo);
    });
    if (found != list.end()) {
      ++nReplaced;
      if (found->nContentLen == item.nContentLen) {
        *found = item;
        continue;
      }
      list.erase(found);
    }
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(placeOf(item.nContentLen)), item);
    if (std::chrono::steady_clock::now() > deadline) {
      ++nDone;
      break;
    }
  }
  const auto nNew = static_cast<uint32_t>(list.size());
  const int nGrow = m_view.MakeRoomFor(nNew);
  if (nGrow != 0) return nGrow;
  if (!RewriteRecords(list.data(), nNew)) return -4;
  *pnDone = nDone;
  *pnReplaced = nReplaced;
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
    const NEW_AUDIT_LIST_ITEM* pOld = m_view.Items();
    // The model: the records and, for each, its stamp (larger: further to
    // the front among equal keys; every stamp differs, so the order is
    // total). Records already in the list have stamps 0, -1, -2, ...
    Records records;
    records.reserve(size_t(nOld) + size_t(nCount));
    // Each record's key beside it, so that the sort reads no record.
    std::vector<uint32_t> keys;
    keys.reserve(size_t(nOld) + size_t(nCount));
    for (int32_t i = 0; i < nOld; ++i) {
      records.push_back(&pOld[i]);
      keys.push_back(uint32_t{pOld[i].nContentLen});  // (a copy: the field is packed)
    }
    std::vector<int64_t> stamps(static_cast<size_t>(nOld));
    for (int32_t i = 0; i < nOld; ++i) stamps[size_t(i)] = -int64_t{i};
    RuleIndex byRule(size_t(nOld) + size_t(nCount));
    for (uint32_t i = 0; i < uint32_t(nOld); ++i) {
      byRule.Add(records, i, RuleIndex::HashOf(pOld[i].szRuleNo));
    }
    // The batch's hashes first, in one pass over it, so that the table's
    // memory for each record can be fetched a few records ahead.
    std::vector<uint64_t> hashes(static_cast<size_t>(nCount));
    for (int32_t i = 0; i < nCount; ++i) hashes[size_t(i)] = RuleIndex::HashOf(pItems[i].szRuleNo);
    constexpr int32_t kAhead = 8;
    // The record that a search by rule number finds first: the one that
    // stands first in the list.
    auto standsBefore = [&](uint32_t a, uint32_t b) {
      const uint32_t ka = records[a]->nContentLen, kb = records[b]->nContentLen;
      return ka != kb ? ka < kb : stamps[a] > stamps[b];
    };
    int64_t nStamp = 0;
    int32_t nDone = 0, nReplaced = 0;
    for (; nDone < nCount; ++nDone) {
      const NEW_AUDIT_LIST_ITEM* pItem = &pItems[nDone];
      if (nDone + kAhead < nCount) byRule.Prefetch(hashes[size_t(nDone) + size_t(kAhead)]);
      const uint64_t nHash = hashes[size_t(nDone)];
      uint32_t nFound = byRule.First(records, pItem->szRuleNo, nHash);
      if (nFound != RuleIndex::kNone) {
        for (uint32_t k = byRule.Next(nFound); k != RuleIndex::kNone; k = byRule.Next(k)) {
          if (standsBefore(k, nFound)) nFound = k;
        }
        if (records[nFound]->nContentLen != pItem->nContentLen) stamps[nFound] = ++nStamp;
        records[nFound] = pItem;
        keys[nFound] = pItem->nContentLen;
        ++nReplaced;
      } else {
        records.push_back(pItem);
        keys.push_back(uint32_t{pItem->nContentLen});
        stamps.push_back(++nStamp);
        byRule.Add(records, static_cast<uint32_t>(records.size() - 1), nHash);
      }
      if ((nDone & 255) == 255 && std::chrono::steady_clock::now() > deadline) {
        ++nDone;
        break;
      }
    }
    // Sorted by one 64-bit word each (the key, then the stamp from the
    // largest down), then gathered: records are 241 bytes long.
    const uint32_t nNew = static_cast<uint32_t>(records.size());
    struct Place {
      uint64_t nOrder;
      uint32_t nRecord;
    };
    std::vector<Place> order(nNew);
    for (uint32_t i = 0; i < nNew; ++i) {
      const auto nRank = static_cast<uint32_t>(nStamp - stamps[i]);  // 0 for the newest
      order[i] = Place{uint64_t{keys[i]} << 32 | nRank, i};
    }
    std::sort(order.begin(), order.end(),
              [](const Place& a, const Place& b) { return a.nOrder < b.nOrder; });
    const int nGrow = m_view.MakeRoomFor(nNew);
    if (nGrow != 0) return nGrow;
    // (The records of the list are read where they were mapped: a mapping
    // that growth replaced stays mapped until the list is closed.)
    if (nOld == 0) {
      Records sortedRecords(nNew);
      for (uint32_t i = 0; i < nNew; ++i) sortedRecords[i] = records[order[i].nRecord];
      if (!FillEmptyList(sortedRecords.data(), nNew)) return -4;
    } else {
      std::vector<NEW_AUDIT_LIST_ITEM> sorted(nNew);
      for (uint32_t i = 0; i < nNew; ++i) sorted[i] = *records[order[i].nRecord];
      if (!RewriteRecords(sorted.data(), nNew)) return -4;
    }
    *pnDone = nDone;
    *pnReplaced = nReplaced;
    return 0;
  } catch (...) {  // an allocation failed before the list was changed
    return -2;
  }
}

int CRecordEditor::ReplaceAllRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount) {
  if (m_view.Items() == nullptr || !ReadyToChange()) return -1;
  const int nGrow = m_view.MakeRoomFor(nCount);
  if (nGrow != 0) return nGrow;
  return RewriteRecords(pRecords, nCount) ? 0 : -4;
}

bool CRecordEditor::RewriteRecords(const NEW_AUDIT_LIST_ITEM* pRecords, uint32_t nCount) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  // (A count the file cannot hold is taken as far as the file goes.)
  const int32_t nHeaderCount = m_view.Header()->nItemCount;
  const uint32_t nOld =
      nHeaderCount > 0 ? std::min(static_cast<uint32_t>(nHeaderCount), m_view.Capacity()) : 0;
  // Only the slots that differ are written (and journaled): from the first
  // to the last of them, and then the slots the list no longer uses zeroed.
  auto differs = [&](uint32_t i) {
    return i >= nOld || std::memcmp(&pItems[i], &pRecords[i], LIST_ITEM_SIZE) != 0;
  };
  uint32_t nFirst = 0;
  while (nFirst < nCount && !differs(nFirst)) ++nFirst;
  uint32_t nEnd = nCount;
  if (nOld <= nCount) {
    while (nEnd > nFirst && !differs(nEnd - 1)) --nEnd;
  }
  ListChange change = m_changes.ChangeOf(nFirst, nEnd - nFirst, static_cast<int32_t>(nCount));
  // (Past nEnd, up to the new count, the slots are as they should be.)
  change.nZeroEnd = nOld > nCount ? nOld : nEnd;
  const JournalPiece piece = {nEnd > nFirst ? pRecords + nFirst : nullptr,
                              size_t{nEnd - nFirst} * LIST_ITEM_SIZE};
  return m_changes.MakeChange(change, &piece, 1, nullptr, [&] {
    if (nEnd > nFirst) {
      sa::Write(&pItems[nFirst], pRecords + nFirst, size_t{nEnd - nFirst} * LIST_ITEM_SIZE);
    }
    if (change.nZeroEnd > nEnd) {
      sa::Zero(&pItems[nEnd], size_t{change.nZeroEnd - nEnd} * LIST_ITEM_SIZE);
    }
    m_view.StoreCount(static_cast<int32_t>(nCount));
  }) >= 0;
}

bool CRecordEditor::FillEmptyList(const NEW_AUDIT_LIST_ITEM* const* ppRecords, uint32_t nCount) {
  NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  // An empty list is put back by zeroing what the batch wrote, so the
  // journal needs no copy of the records, and they are copied once, from
  // where they are straight into their slots. Only when they cannot be
  // flushed does the journal take them (from the slots) to make them again.
  const ListChange change = m_changes.ChangeOf(0, nCount, static_cast<int32_t>(nCount));
  ListChange undo = m_changes.ChangeOf(0, 0, 0);
  undo.nZeroEnd = nCount;
  const JournalPiece piece = {pItems, size_t{nCount} * LIST_ITEM_SIZE};
  return m_changes.MakeUndoableChange(undo, change, &piece, 1, [&] {
    // The records are read in key order, not where they lie: each is
    // fetched a few records ahead (all four of its cache lines).
    constexpr uint32_t kAhead = 6;
    for (uint32_t i = 0; i < nCount; ++i) {
      if (i + kAhead < nCount) {
        const auto* pNext = reinterpret_cast<const char*>(ppRecords[i + kAhead]);
        for (size_t nLine = 0; nLine < LIST_ITEM_SIZE; nLine += 64) {
          varnex::platform::Prefetch(pNext + nLine);
        }
      }
      sa::Write(&pItems[i], ppRecords[i], LIST_ITEM_SIZE);
    }
    m_view.StoreCount(static_cast<int32_t>(nCount));
  }) >= 0;
}
