// What one writer process knows of the rule numbers of a list between its
// own inserts: a filter (a bit array set by three bits of each rule number's
// hash) that says for certain that no record has a rule number, so that an
// insert of a new rule number reads no record to look for it. It describes
// the list at one value of the change counter, in one file: any change
// made since by anybody else, or by another call of this process, makes it
// stale, and it is made again only where this process inserted the last
// change before (a run of inserts), so that writers that take turns pay
// nothing for it.
#pragma once

#include <cstdint>
#include <vector>

#include "varnex/Varnex.h"

class RuleNoFilter {
 public:
  // The filter describes the list file nFileIdentity, of nCount records, at
  // change counter nCounter.
  bool Describes(uint64_t nCounter, uint64_t nFileIdentity, uint32_t nCount) const {
    return m_nCounter != 0 && m_nCounter == nCounter && m_nFileIdentity == nFileIdentity &&
           m_nCount == nCount;
  }
  // Makes the filter from every record; false (and a filter that describes
  // nothing) when no memory could be had.
  bool Build(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nCount);
  // False only when no record has a rule number of hash nHash
  // (RuleNoFieldHash).
  bool MayHold(uint64_t nHash) const;
  // Adds a rule number of hash nHash. REQUIRES: the filter was built.
  void Add(uint64_t nHash);
  // The filter describes the list as it is after this process's change.
  void Stamp(uint64_t nCounter, uint64_t nFileIdentity, uint32_t nCount);
  void Forget() { m_nCounter = 0; }
  bool Built() const { return !m_bits.empty(); }

 private:
  std::vector<uint64_t> m_bits;
  uint64_t m_nMask = 0;  // bits - 1 (a power of two)
  uint32_t m_nRoom = 0;  // rule numbers the array holds before it is too full
  uint32_t m_nHeld = 0;
  uint64_t m_nCounter = 0;
  uint64_t m_nFileIdentity = 0;
  uint32_t m_nCount = 0;
};
