// Which records a purge of outdated records removes.
//
// The purge is a scan that, at every outdated record (dwEndTime < now),
// deletes by that record's rule number (the first match, and each later one
// while at least two records follow the one deleted before it) and looks at
// the same index again. Replaying that sequence record by record would shift
// the tail of the file once per deletion; instead it is replayed here on a
// tree of flags, and the caller compacts the list once.
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/RecordEditor.h"
#include "store/RuleNumbers.h"

namespace {

// Which records are still in the list while a purge is replayed: a Fenwick
// tree over one flag per original slot.
class AliveRecords {
 public:
  explicit AliveRecords(uint32_t nCount) : m_tree(size_t{nCount} + 1, 0), m_nCount(nCount) {
    for (uint32_t i = 1; i <= nCount; ++i) {
      m_tree[i] += 1;
      const uint32_t nParent = i + (i & (0u - i));
      if (nParent <= nCount) m_tree[nParent] += m_tree[i];
    }
  }
  void Remove(uint32_t nIndex) {
    for (uint32_t i = nIndex + 1; i <= m_nCount; i += i & (0u - i)) --m_tree[i];
  }
  // Number of records still in the list before original slot nIndex.
  uint32_t CountBefore(uint32_t nIndex) const {
    uint32_t nSum = 0;
    for (uint32_t i = nIndex; i > 0; i -= i & (0u - i)) nSum += m_tree[i];
    return nSum;
  }
  // Original slot of the record that now stands at index nPosition.
  uint32_t Find(uint32_t nPosition) const {
    uint32_t nFound = 0;
    uint32_t nStep = 1;
    while (nStep * 2 <= m_nCount) nStep *= 2;
    for (; nStep > 0; nStep /= 2) {
      const uint32_t nNext = nFound + nStep;
      if (nNext <= m_nCount && m_tree[nNext] <= nPosition) {
        nFound = nNext;
        nPosition -= m_tree[nNext];
      }
    }
    return nFound;
  }

 private:
  std::vector<uint32_t> m_tree;
  uint32_t m_nCount;
};

}  // namespace

bool CRecordEditor::PurgedSlots(int32_t nCount, uint32_t dwNow, std::vector<uint8_t>* pRemoved) {
  const NEW_AUDIT_LIST_ITEM* pItems = m_view.Items();
  const uint32_t n = static_cast<uint32_t>(nCount);
  try {
    pRemoved->assign(n, 0);
    struct Group {
      std::vector<uint32_t> positions;  // slots whose rule number is the key
      size_t nNext = 0;                 // first one not yet deleted
    };
    std::unordered_map<std::string, Group, RuleNoHash, std::equal_to<>> groups;
    char szFolded[LIST_RULE_NO_SIZE];
    for (uint32_t i = 0; i < n; ++i) {
      if (pItems[i].dwEndTime < dwNow) {
        groups.try_emplace(
            std::string(FoldRuleNo(pItems[i].szRuleNo, RULE_NO_SEARCH_CHARS, szFolded)));
      }
    }
    if (groups.empty()) return true;
    // A search key of at most 29 characters finds only rule numbers of its
    // own length.
    for (uint32_t i = 0; i < n; ++i) {
      if (strnlen(pItems[i].szRuleNo, LIST_RULE_NO_SIZE) > RULE_NO_SEARCH_CHARS) continue;
      auto found = groups.find(FoldRuleNo(pItems[i].szRuleNo, LIST_RULE_NO_SIZE, szFolded));
      if (found != groups.end()) found->second.positions.push_back(i);
    }

    std::vector<uint8_t>& removed = *pRemoved;
    AliveRecords alive(n);
    uint32_t nAlive = n;
    for (uint32_t nScan = 0; nScan < nAlive;) {
      const uint32_t nSlot = alive.Find(nScan);
      const NEW_AUDIT_LIST_ITEM& record = pItems[nSlot];
      if (!(record.dwEndTime < dwNow)) {
        ++nScan;
        continue;
      }
      Group& group =
          groups.find(FoldRuleNo(record.szRuleNo, RULE_NO_SEARCH_CHARS, szFolded))->second;
      // One deletion by rule number, on the list as it stands now.
      const uint32_t nAliveAtCall = nAlive;
      uint32_t nDeleted = 0;
      while (group.nNext < group.positions.size()) {
        const uint32_t nMatch = group.positions[group.nNext++];
        const uint32_t nIndexAtCall = alive.CountBefore(nMatch) + nDeleted;
        removed[nMatch] = 1;
        alive.Remove(nMatch);
        --nAlive;
        ++nDeleted;
        if (uint64_t{nIndexAtCall} + 3 > nAliveAtCall) break;  // fewer than two follow
      }
      if (nDeleted == 0) {
        // Its rule number (30 or more characters) cannot find it: without
        // this the scan would look at it for ever.
        removed[nSlot] = 1;
        alive.Remove(nSlot);
        --nAlive;
      }
    }
    return true;
  } catch (...) {  // an allocation failed before anything was changed
    return false;
  }
}
