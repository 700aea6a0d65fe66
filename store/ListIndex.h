// The lookup index of a list: lets a verdict lookup find the records whose
// key and text equal the content's without scanning every record of that
// key.
//
// It lives in a file of its own beside the list ("SYSLIST_INDEX_<type>", with
// the list file's owner, group and mode), mapped by every holder of the list
// like the list file: for writing by the list's writers, read-only by its
// readers. Writers keep it, under the list's lock, while the list's change
// counter is odd; the index records the counter value that it describes, and
// a lookup uses it only when that is the counter's current value. Readers
// take no lock: every value read is checked before use (indices against the
// record count, sizes against the mapping), and the caller throws the answer
// away when the counter moved.
//
// Layout (all native-endian, in the shared object; see IndexLayout.h):
//   header (128 bytes)
//   table:    2^nTableBits entries of {tag, slot + 1}, linear probing, 0 free
//   anchors:  2^nAnchorBits entries of {tag, check + 1}, the same way
//   keys:     2^nKeyBits entries of {key, the anchor lengths its patterns have}
//   bitmap:   2^nBitmapBits bits, set by the hashes of the inner anchors'
//             pieces (one piece under many keys sets its bits once)
//   patterns: nPatternCapacity entries, sorted by key
//   checks:   nCheckCapacity entries, one an anchored pattern: its record's
//             slot, key and window, and the literal of a simple shape
// Plain records (text without '*') are in the table under a hash of their key
// and their text with ASCII letters upper-cased (the verdict's plain
// comparison ignores the case of ASCII letters only). Records whose text holds
// '*' are patterns, found by an anchor: a literal piece of the pattern,
// folded as the wildcard comparison folds, that every text it matches ends
// with, begins with, or holds somewhere (see AnchorOf). A lookup folds the
// content once and probes the anchor table with its ends of the lengths that
// the key's anchors have, and, where inner anchors exist, with the pieces at
// each place that the bitmap lets through,
// so a pattern-heavy list costs a handful of probes and the candidates that
// share an anchor. A candidate is settled from its check (a pattern of
// another shape, or a longer literal, from its record). The few patterns with no literal byte are
// listed by key. Anchors are made in the writer's locale; a reader whose locale folds otherwise
// (platform::CaseFoldingIdentity) does not use the index.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/Platform.h"
#include "varnex/Varnex.h"

inline constexpr uint64_t LIST_INDEX_MAGIC = 0x5849584e52415621ULL;  // "!VARNXIX"
inline constexpr uint32_t LIST_INDEX_VERSION = 7;

// What a lookup in the index found.
enum class IndexAnswer {
  kUnusable,  // the index does not describe the list as the caller saw it
  kMatch,
  kNoMatch,
};

// Where a record stands in the index: what a writer needs to take it out.
struct IndexKey {
  bool bPattern;
  bool bAnchored;  // a pattern found through the anchor table
  uint32_t nKey;
  uint32_t nTag;  // the tag of the text (plain) or of the anchor
};

// A kPlace change (see ListJournal): records [nMoveFrom, nMoveFrom +
// nMoveCount) moved to nMoveTo, and a record was written into nSlot, where
// the record `removed` stood at nRemovedSlot when bRemoves.
struct IndexPlace {
  uint32_t nMoveFrom;
  uint32_t nMoveTo;
  uint32_t nMoveCount;
  uint32_t nSlot;
  bool bRemoves;
  uint32_t nRemovedSlot;
  IndexKey removed;
};

namespace list_index {
struct Sections;
struct PatternAnchor;
}  // namespace list_index
struct ThreadFolding;

class ListIndex {
 public:
  ListIndex() = default;
  ListIndex(const ListIndex&) = delete;
  ListIndex& operator=(const ListIndex&) = delete;

  // Opens the index file at szPath: for writing (making it when missing)
  // when bWritable, else read-only. False, with a sentence in *pReason, when
  // it cannot be opened safely (see File::OpenTrusted).
  bool Open(const std::string& szPath, const varnex::platform::FileOwnership& owner, bool bWritable,
            std::string* pReason);
  void Close();
  bool IsOpen() const { return m_bOpen; }

  static IndexKey KeyOf(const NEW_AUDIT_LIST_ITEM& record);

  // Writers, under the list's lock, with the change counter odd.
  // The counter value the index describes; 0 when none.
  uint64_t Stamp() const;
  // Which list file the index was made for (see MappedFile::Identity).
  uint64_t FileIdentity() const;
  void Invalidate();
  // Records that the index, stamped nCounter, describes the list file as it
  // was when its change time was nChangeTime: a writer that opens the list
  // later, finds the counter and that change time the same, uses the index
  // without making it again.
  void Seal(uint64_t nCounter, uint64_t nChangeTime);
  // The index is stamped nCounter and sealed for nCounter and nChangeTime,
  // of this layout, for the list file nFileIdentity of nCount records, with
  // the anchors of this process's folding.
  bool SealedFor(uint64_t nCounter, uint64_t nChangeTime, uint64_t nFileIdentity,
                 uint32_t nCount) const;
  // The change time of the seal; 0 when there is none.
  uint64_t SealChangeTime() const;
  // Indexes the records afresh and stamps the index with nStamp, for the
  // list file of identity nFileIdentity.
  bool Rebuild(const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nCount, uint64_t nStamp,
               uint64_t nFileIdentity);
  // Follows a kPlace change made to an index that was up to date before it;
  // pItems holds the records as they are after it. False when the index
  // could not follow (then rebuild it).
  bool ApplyPlace(const IndexPlace& place, const NEW_AUDIT_LIST_ITEM* pItems, uint32_t nNewCount,
                  uint64_t nStamp, uint64_t nFileIdentity);

  // Readers, without the lock. The verdict on content of key dwKey at time
  // dwNow, from the index when it describes counter value nStamp and the
  // list file nFileIdentity with nCount records in key order at
  // pItems (mapped with at least nCount slots); else kUnusable. pszContent
  // is not null.
  IndexAnswer Lookup(uint64_t nStamp, uint64_t nFileIdentity, const uint8_t* pItems,
                     uint32_t nCount, const char* pszContent, uint32_t dwKey, uint32_t dwNow) const;

  // Lets go of earlier mappings of the index that no reader is in any more.
  // REQUIRES: the list's lock (or a reader's local one).
  void ReleaseRetired();

  struct Header;

 private:
  Header* HeaderOf(uint8_t* pData) const { return reinterpret_cast<Header*>(pData); }
  // Makes the shared object at least nBytes long and publishes the mapping.
  bool GrowTo(uint64_t nBytes);
  // Maps the object again when another process grew it, unless another
  // thread is doing so. Readers call it.
  void RefreshMapping() const;
  void Publish() const;
  // The table and pattern list as a writer laid them out; read once from the
  // header, checked against the mapping, and used from then on.
  struct Layout {
    uint32_t nBits;
    uint32_t nTableUsed;
    uint32_t nAnchorBits;
    uint32_t nAnchorUsed;
    uint32_t nKeyBits;
    uint32_t nKeysUsed;
    uint32_t nBitmapBits;
    uint32_t nPatternCapacity;
    uint32_t nPatternCount;
    uint32_t nCheckCapacity;
    uint32_t nChecksUsed;
    uint32_t nBitmapPieces;
    // Probe steps that inserts may still take: many records with the same
    // key and text (a hostile file) would make the probes quadratic, and
    // such a list is looked up by the scan instead.
    uint64_t nProbeBudget;
  };
  bool InsertPlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot);
  bool RemovePlain(uint8_t* pData, Layout& layout, uint32_t nTag, uint32_t nSlot);
  // A pattern goes to the anchor table, or, without an anchor, to the list.
  bool InsertPattern(uint8_t* pData, Layout& layout, const NEW_AUDIT_LIST_ITEM& record,
                     const list_index::PatternAnchor& anchor, uint32_t nSlot,
                     ThreadFolding folding);
  bool RemovePattern(uint8_t* pData, Layout& layout, const IndexKey& key, uint32_t nSlot);
  // Adds an anchor length to the lengths of nKey (making its entry); false
  // when the table of keys is full.
  bool AddKeyLength(uint8_t* pData, const list_index::Sections& at, Layout& layout, uint32_t nKey,
                    uint32_t nLengthBit);
  void StoreLayout(uint8_t* pData, const Layout& layout);

  mutable varnex::platform::MappedFile m_memory;
  mutable std::mutex m_mapLock;  // guards m_memory; readers only try it
  // The mapping as readers see it: the size is published after the address,
  // so a reader that sees a size sees an address mapped at least that far.
  mutable std::atomic<uint8_t*> m_pData{nullptr};
  mutable std::atomic<uint64_t> m_nSize{0};
  bool m_bOpen = false;
  bool m_bWritable = false;
};
