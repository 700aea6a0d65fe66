// The layout of the lookup index object (see ListIndex.h), shared by the
// code that keeps it and the code that looks things up in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/AsciiText.h"
#include "store/ListFormat.h"
#include "store/ListIndex.h"

struct ListIndex::Header {
  uint64_t nMagic;
  uint32_t nVersion;
  uint32_t nTableBits;
  uint64_t nStamp;
  uint32_t nTableUsed;
  uint32_t nPatternCapacity;  // entries of the list of patterns without an anchor
  uint32_t nPatternCount;
  uint32_t nRecordCount;
  uint32_t bOrdered;
  uint32_t nAnchorBits;    // the anchor table has 2^nAnchorBits entries
  uint64_t nFileIdentity;  // which list file the index was made for
  uint32_t nAnchorUsed;
  uint32_t nKeyBits;  // the table of keys' anchor lengths has 2^nKeyBits entries
  // How the writer that made the anchors folded the patterns (see
  // platform::CaseFoldingIdentity): only readers that fold alike use them.
  uint64_t nFolding;
  uint32_t nBitmapBits;  // the inner anchors' bitmap has 2^nBitmapBits bits
  uint32_t nKeysUsed;
  uint32_t nCheckCapacity;  // entries of the checks of anchored patterns
  uint32_t nChecksUsed;
  // Inner anchors that set a bit of the bitmap that was not yet set, since
  // it was laid out; at most BitmapPieceCapacity.
  uint32_t nBitmapPieces;
  uint32_t nReserved;
  // The counter value and the list file's change time (MappedFile::
  // ChangeTime) after the last change a writer made with the index kept:
  // while both are the same, nothing has written the file since (see
  // ListIndex::Seal). 0 and 0: not sealed.
  uint64_t nSealCounter;
  uint64_t nSealChangeTime;
  uint32_t nReserved2[4];
};
static_assert(sizeof(ListIndex::Header) == 128);

namespace list_index {

constexpr uint32_t kMinTableBits = 6;
constexpr uint32_t kMaxTableBits = 27;                // 128M entries, 1 GiB
constexpr uint32_t kMaxPatterns = uint32_t{1} << 22;  // 32 MiB
constexpr uint32_t kMinPatterns = 16;

struct TableEntry {
  uint32_t nTag;
  uint32_t nSlot;  // slot + 1; 0 marks a free entry
};

// A pattern without a literal byte (wildcards only), which no anchor can
// find: these stand in a list in order of key, a new one after those of its
// key, and a lookup tries those of the content's length.
struct PatternEntry {
  uint32_t nKey;
  uint32_t nSlot;
};

static_assert(sizeof(TableEntry) == 8);
static_assert(sizeof(PatternEntry) == 8);

// What a lookup needs to settle an anchored pattern without reading its
// record: the record's key and window and, for a pattern of a simple shape
// (see PatternShape) whose literal fits here, that literal folded as the
// comparison folds it. The anchor table's entries are {tag, check + 1}; the
// checks stand in the order they were made, the last one moved into the
// place of one taken out.
constexpr uint32_t kCheckLiteralBytes = 40;
struct PatternCheck {
  uint32_t nTag;  // its anchor's tag (to find its entry when the check moves)
  uint32_t nSlot;
  uint32_t nKey;
  uint32_t nStart;
  uint32_t nEnd;
  uint8_t nShape;  // a PatternShape; kOther: the record's text is compared
  uint8_t nLiteral;
  uint8_t nReserved[2];
  char szLiteral[kCheckLiteralBytes];
};
static_assert(sizeof(PatternCheck) == 64 && offsetof(PatternCheck, szLiteral) % 8 == 0);
constexpr uint32_t kMaxChecks = uint32_t{1} << 22;  // 256 MiB

// The object: the header, the table of plain texts, the table of pattern
// anchors, the table of the anchor lengths each key has, the bitmap of inner
// anchors, the patterns without an anchor, the checks of anchored patterns.
constexpr uint64_t kTableOffset = 128;
// The bitmap has about 16 bits an inner anchor, at least 512.
constexpr uint32_t kMinBitmapBits = 9;
constexpr uint32_t kMaxBitmapBits = 26;  // room for kMaxChecks pieces

inline uint64_t TableBytes(uint32_t nBits) {
  return uint64_t{sizeof(TableEntry)} << nBits;
}

struct Sections {
  uint32_t nBits;
  uint32_t nAnchorBits;
  uint32_t nKeyBits;
  uint32_t nBitmapBits;
  uint32_t nPatternCapacity;
  uint32_t nCheckCapacity;

  bool Valid() const {
    return nBits >= kMinTableBits && nBits <= kMaxTableBits && nAnchorBits >= kMinTableBits &&
           nAnchorBits <= kMaxTableBits && nKeyBits >= kMinTableBits && nKeyBits <= kMaxTableBits &&
           nBitmapBits >= kMinBitmapBits && nBitmapBits <= kMaxBitmapBits &&
           nPatternCapacity <= kMaxPatterns && nCheckCapacity <= kMaxChecks;
  }
  uint64_t AnchorOffset() const { return kTableOffset + TableBytes(nBits); }
  uint64_t KeyOffset() const { return AnchorOffset() + TableBytes(nAnchorBits); }
  uint64_t BitmapOffset() const { return KeyOffset() + TableBytes(nKeyBits); }
  uint64_t BitmapBytes() const { return (uint64_t{1} << nBitmapBits) / 8; }
  uint64_t PatternOffset() const { return BitmapOffset() + BitmapBytes(); }
  uint64_t CheckOffset() const {
    // (Each check in a cache line of its own.)
    return (PatternOffset() + uint64_t{nPatternCapacity} * sizeof(PatternEntry) + 63) &
           ~uint64_t{63};
  }
  uint64_t Bytes() const { return CheckOffset() + uint64_t{nCheckCapacity} * sizeof(PatternCheck); }
};

inline TableEntry* Table(uint8_t* pData) {
  return reinterpret_cast<TableEntry*>(pData + kTableOffset);
}
inline TableEntry* Anchors(uint8_t* pData, const Sections& at) {
  return reinterpret_cast<TableEntry*>(pData + at.AnchorOffset());
}
// The anchor lengths that the patterns of one key have (see
// AnchorLengthBit); an entry with no bit set is free.
struct KeyLengths {
  uint32_t nKey;
  uint32_t nLengths;
};
static_assert(sizeof(KeyLengths) == sizeof(TableEntry));
inline KeyLengths* KeyTable(uint8_t* pData, const Sections& at) {
  return reinterpret_cast<KeyLengths*>(pData + at.KeyOffset());
}
inline uint32_t KeyHome(uint32_t nKey, uint32_t nKeyBits) {
  return static_cast<uint32_t>((uint64_t{nKey} * 0x9e3779b97f4a7c15ULL) >> 32) &
         ((uint32_t{1} << nKeyBits) - 1);
}
inline uint32_t* InnerBitmap(uint8_t* pData, const Sections& at) {
  return reinterpret_cast<uint32_t*>(pData + at.BitmapOffset());
}
inline PatternEntry* Patterns(uint8_t* pData, const Sections& at) {
  return reinterpret_cast<PatternEntry*>(pData + at.PatternOffset());
}
inline PatternCheck* Checks(uint8_t* pData, const Sections& at) {
  return reinterpret_cast<PatternCheck*>(pData + at.CheckOffset());
}

inline size_t TextLength(const NEW_AUDIT_LIST_ITEM& record) {
  return strnlen(record.szContent, LIST_CONTENT_SIZE);
}

// A text of at most 128 bytes as the plain lookup takes it: upper-cased, in
// words, with its NUL and zero bytes up to the end of the word that holds
// the NUL (words after that one are left unset, and never read); and its
// hash, under the key.
struct PlainQuery {
  static constexpr size_t kWords = LIST_CONTENT_SIZE / 8 + 1;
  uint64_t nWords[kWords];
  size_t nLength;
  uint64_t nHash;
  bool bAscii;  // no byte of the text is above 0x7f

  PlainQuery(uint32_t nKey, const char* pszText, size_t nTextLength);
};

// The tag under which a plain text is kept in the table.
inline uint32_t TagOf(uint64_t nHash) {
  return static_cast<uint32_t>(nHash ^ (nHash >> 32));
}

// Where a lookup finds a pattern: a literal piece of it, folded as the
// wildcard comparison folds (FoldAsCompared), that every text it matches
// holds at a place the kind tells: its last bytes (a suffix anchor: the
// pattern ends with the piece), its first bytes (a prefix anchor: the
// pattern begins with it), or anywhere (an inner anchor). Up to eight bytes
// of the piece (four of an inner one) make the anchor.
enum AnchorKind : uint32_t {
  kAnchorSuffix = 0,
  kAnchorPrefix = 1,
  kAnchorInner = 2,
  kAnchorNone = 3,  // only wildcards: listed among the patterns without an anchor
};
constexpr uint32_t kMaxAnchorBytes = 8;
constexpr uint32_t kMaxInnerAnchorBytes = 4;

struct PatternAnchor {
  AnchorKind kind = kAnchorNone;
  uint32_t nLength = 0;  // bytes, 1 to 8
  uint64_t nBytes = 0;   // the bytes, the first in the low byte
};

// The anchor of a pattern folded as compared (nLength bytes).
PatternAnchor AnchorOf(const char* pszFolded, size_t nLength);
// The anchor of a record's pattern (folded here, in the caller's locale).
PatternAnchor AnchorOfRecord(const NEW_AUDIT_LIST_ITEM& record);

// Up to eight bytes as one word, the first in the low byte.
inline uint64_t PackBytes(const char* p, uint32_t n) {
  uint64_t nWord = 0;
  std::memcpy(&nWord, p, n);
  return nWord;
}

inline uint64_t AnchorHash(uint32_t nKey, uint32_t nKind, uint32_t nLength, uint64_t nBytes) {
  uint64_t h = (uint64_t{nKey} << 32 | nKind << 8 | nLength) * 0x9e3779b97f4a7c15ULL;
  h ^= nBytes * 0xc2b2ae3d27d4eb4fULL;
  h ^= h >> 29;
  h *= 0xbf58476d1ce4e5b9ULL;
  return h ^ (h >> 32);
}

// Where an inner anchor stands in the bitmap that lookups test first: two
// bits of one 32-bit word (so a test reads one word, and lets through about
// one piece in sixty that holds no anchor). The bitmap is tested at every
// place of the content, eight places at once where the processor can: its
// hash is of 32 bits, two multiplications; the length makes a seed once,
// and each piece (at most four bytes) is mixed with it. The bitmap does not
// tell keys apart: lists keep one word under many keys (a keyword under
// every length of text it is looked for in), and the bitmap then holds the
// word once, so that it is a fraction of the size and stays in the cache;
// the probe that follows is by key.
struct BitmapPlace {
  uint32_t nWord;
  uint32_t nBits;
};
inline uint32_t InnerSeed(uint32_t nLength) {
  return static_cast<uint32_t>((uint64_t{nLength} * 0x9e3779b97f4a7c15ULL) >> 32);
}
// The pieces that a bitmap of 2^nBitmapBits bits takes (sixteen bits each)
// before the index is laid out afresh.
inline uint32_t BitmapPieceCapacity(uint32_t nBitmapBits) {
  return static_cast<uint32_t>((uint64_t{1} << nBitmapBits) / 16);
}
constexpr uint32_t kSieveFirst = 0x9e3779b1u;
constexpr uint32_t kSieveSecond = 0x85ebca6bu;
inline uint32_t InnerSieveHash(uint32_t nSeed, uint32_t nBytes) {
  uint32_t h = (nBytes ^ nSeed) * kSieveFirst;
  h ^= h >> 16;
  return h * kSieveSecond;
}
// The sieve hash of an inner anchor's piece.
inline uint32_t PieceHashOf(const PatternAnchor& anchor) {
  return InnerSieveHash(InnerSeed(anchor.nLength), static_cast<uint32_t>(anchor.nBytes));
}
// The word from the hash's high bits (a bitmap of 2^nBitmapBits bits has
// 2^(nBitmapBits - 5) words), the two bits from its low ten.
inline uint32_t SieveWordShift(uint32_t nBitmapBits) {
  return 32 - (nBitmapBits - 5);
}
inline BitmapPlace InnerBitsOf(uint32_t nHash, uint32_t nBitmapBits) {
  return {nHash >> SieveWordShift(nBitmapBits),
          uint32_t{1} << (nHash & 31) | uint32_t{1} << ((nHash >> 5) & 31)};
}

// The sieve of eight places at once that lookups use where the processor
// can run it: into *pnPass, bit i for the place p + i (p points at a text
// readable 16 bytes on), set when the bitmap lets the piece of the first
// bytes that nMask keeps through. False, and nothing set, where it cannot
// run.
bool SieveEightPlaces(const char* p, uint32_t nSeed, uint32_t nMask, const uint32_t* pBitmap,
                      uint32_t nBitmapBits, uint32_t* pnPass);

// The bit of an anchor in its key's lengths (see KeyLengths): bit l - 1 for
// suffixes of l bytes, 8 + l - 1 for prefixes, 16 + l - 1 for inner pieces.
inline uint32_t AnchorLengthBit(const PatternAnchor& anchor) {
  return uint32_t{1} << (anchor.kind * 8 + anchor.nLength - 1);
}

}  // namespace list_index
