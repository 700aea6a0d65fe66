// Varnex: the rule lists of the audit product, shared between processes.
//
// A program constructs one CVarnex per list (list types 0 to 8), calls
// LoadFile, and then counts, reads and edits the records of that list. Every
// process that loads a list maps the same list file and serialises its work
// through one named mutex per list, so a change made by one process is seen
// by all others at once.
//
// Caveats:
//  - No exception leaves the library; every call reports through its result.
//  - Objects that share a list file object (copies, see CVarnex(const
//    CVarnex&)) must be destroyed exactly once between them.
//  - Do not use an object in a child process after fork().
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#if defined(VARNEX_BUILDING_LIBRARY)
#define VARNEX_API __declspec(dllexport)
#else
#define VARNEX_API __declspec(dllimport)
#endif
#else
#define VARNEX_API __attribute__((visibility("default")))
#endif

// One record of a list: 241 bytes, byte-packed, little-endian, exactly as it
// is stored in the list file.
#pragma pack(push, 1)
struct NEW_AUDIT_LIST_ITEM {
  // The text or wildcard pattern ('*', '?') that the rule matches,
  // NUL-terminated. In list type 4 its first 12 bytes hold an IP range.
  char szContent[128];
  uint32_t dwStartTime;  // start of validity, seconds since 1970 UTC
  uint32_t dwEndTime;    // end of validity (inclusive), seconds since 1970 UTC
  uint32_t nContentLen;  // sort and search key: the length a lookup passes
  char szRuleNo[32];     // rule number, NUL-terminated; the record's identity
  int8_t cItemType;      // item type or level of the rule
  uint8_t Reserved[68];  // stored and copied, never interpreted
};
#pragma pack(pop)

static_assert(sizeof(NEW_AUDIT_LIST_ITEM) == 241, "a record is 241 bytes");
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, dwStartTime) == 128);
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, dwEndTime) == 132);
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, nContentLen) == 136);
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, szRuleNo) == 140);
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, cItemType) == 172);
static_assert(offsetof(NEW_AUDIT_LIST_ITEM, Reserved) == 173);

// One node of the result chain of a listing match: a copy of a matching
// record and the link to the next node. Byte-packed: 241 bytes of record, then
// the pointer. The nodes are allocated by the library and are given back with
// CVarnex::FreeList, never with the caller's own allocator.
#pragma pack(push, 1)
struct AUDIT_RESULT_LIST {
  NEW_AUDIT_LIST_ITEM Item;  // the record as it stood in the list
  AUDIT_RESULT_LIST* pNext;  // the next node; null in the last one
};
#pragma pack(pop)

static_assert(sizeof(AUDIT_RESULT_LIST) == 241 + sizeof(void*), "a node is a record and a link");
static_assert(offsetof(AUDIT_RESULT_LIST, pNext) == 241);

// Why a changing call did not do all it was asked (CVarnex::GetLastFailure).
enum VARNEX_FAILURE : int32_t {
  VARNEX_FAILURE_NONE = 0,        // it did
  VARNEX_FAILURE_LOCKED = 1,      // another process held the list's lock past the wait
  VARNEX_FAILURE_READ_ONLY = 2,   // this process may not change the list
  VARNEX_FAILURE_NOT_LOADED = 3,  // no list is loaded
  VARNEX_FAILURE_OTHER = 4,       // refused otherwise: the debug output says why
};

// The list types are 0 to VARNEX_LIST_COUNT - 1.
inline constexpr int32_t VARNEX_LIST_COUNT = 9;
// A deletion by rule number compares this many characters of it (see
// DeleteItem): a longer rule number cannot be told from its first ones.
inline constexpr int32_t VARNEX_RULE_NO_COMPARED = 29;

class CSysListFileEx;

// One shared list, chosen by its list type:
//   0 "BaseList.sys"   1 "ExactList.sys"   2 "ContentList.sys"
//   3 "PersonList.sys" 4 "IPAudit.sys"     5 "ASFilter.sys"
//   6 "ContenFilter.sys" 7 "TraceList.sys" 8 "ASFilterWhite.sys"
// The files live in the directory named by VARNEX_SYSTEM_DIR, or in
// /var/lib/varnex when it is not set.
//
// Locking: every call that works on the records takes the list's named mutex
// first, waiting at most 500 ms for it. A reading call whose wait runs out
// goes ahead without it. The mutex is recursive for the thread that holds it.
// List type 4 has no mutex: calls on it are never excluded from one another.
//
// Any number of threads may call the methods of one object at once; the
// constructor, assignment and destructor must not run while others use it.
class VARNEX_API CVarnex {
 public:
  // Makes an object for list type nListType; the list is not opened until
  // LoadFile. Any type may be given; types outside 0..8 fail to load.
  CVarnex(int32_t nListType);

  // Copies share the source's list file object: exactly one of the objects
  // that share it may be destroyed, and the others must not be used after
  // that. The assignment neither releases nor deletes the file object that
  // the target held before.
  CVarnex(const CVarnex& other);
  CVarnex& operator=(const CVarnex& other);

  // Releases the list and deletes the list file object.
  virtual ~CVarnex();

  // Opens the list: creates its file with 100 empty record slots when it is
  // missing or too short to hold a record, and maps it. Returns 1 when the
  // list is loaded, 0 when it failed (also written to the debug output).
  // Returns 2 when it is loaded but its header was damaged (a format tag
  // other than 52, or a count that the file cannot hold): a writer keeps
  // the damaged file as "<list file>.damaged-<time>" and empties the list,
  // a reader reads it as empty; either way every lookup says "no match"
  // until the list is put right, so treat 2 as a failure where that
  // matters. Loading a loaded list opens it again.
  // A process that may read but not write the file loads it read-only: the
  // reading calls work, every changing call gives its failure result. So
  // does a process that may write the file but cannot use the objects that
  // keep the list's writers apart (the reason goes to the debug output).
  int32_t LoadFile();

  // Opens the list for reading only, whatever this process may write: the
  // file must exist; nothing is created, extended, repaired, locked or
  // written, and every changing call fails. Returns as LoadFile does.
  int32_t LoadFileForReading();

  // Closes the list and gives up this thread's hold on its lock. Returns 1
  // (0 only for an object without a file object). LoadFile may follow.
  int32_t ReleaseFile();

  // Number of records in the list; 0 when the list is not loaded, is empty,
  // or its header is damaged; -1 when writers kept changing the list and no
  // count of one state of it could be read (see GetItems). Takes no lock
  // unless writers keep changing the list (as IsMatch).
  int32_t GetTotalCount();

  // Copies record nIndex into *pItem (241 bytes). Returns 0 when copied;
  // -2 for a null pItem or an index that is negative or not below the
  // count; 0 without copying when the list is not loaded; -1 for an object
  // without a file object; -3 when writers kept changing the list and no
  // record of one state of it could be read (see GetItems). Takes no lock
  // unless writers keep changing the list (as IsMatch).
  int32_t GetItem(int32_t nIndex, NEW_AUDIT_LIST_ITEM* pItem);

  // Copies every record, as the list stood at one moment, into pItems when
  // they fit in nMax records. Returns the number of records (copied only
  // when not above nMax; call again with room for them), or -1 for a
  // negative nMax, a null pItems with room, no memory, or an object without
  // a file object, and when no copy of one state could be made: a process
  // that cannot hold the writers' lock (one that loaded the list for
  // reading, or whose wait for the lock ran out) tries for up to 2 s to
  // read between two changes, and then gives up rather than hand out a copy
  // that mixes two states. Takes no lock unless writers keep changing the
  // list.
  int32_t GetItems(NEW_AUDIT_LIST_ITEM* pItems, int32_t nMax);

  // Replaces the list with a copy of the list file at pszSource (a backup,
  // say): the copy's header is checked, the copy is written whole beside
  // the list and renamed over it under the lock, and every process that has
  // the list loaded maps the new file at its next call. Returns 1 when done;
  // 0 when the list is not loaded or is read-only, the lock wait ran out,
  // or the source is not a sound list file (nothing is changed then).
  int32_t ReplaceFile(const char* pszSource);

  // Puts pItems[0..nCount) in place of every record of the list, in the
  // order given (keep them in key order, as AddItem does, for lookups to
  // find them), as one change that writes only the slots that differ: the
  // cheap way to make a list equal to records held elsewhere. Returns 1 when
  // done; 0 for a negative nCount, a null pItems with records, a list that
  // is not loaded or is read-only, a lock wait that ran out, or a file that
  // could not grow (GetLastFailure says which).
  int32_t ReplaceItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount);

  // Empties the list: count 0, every record slot zeroed, written to disk
  // before the call returns. Returns false when the list is not loaded, is
  // read-only, has a negative count, or could not be written to disk.
  bool ResetFileToEmpty();

  // The changing calls below take the list's lock; when another live holder
  // keeps it past the 500 ms wait, they change nothing and give their failure
  // result. Every change is on the disk before the call returns (in the
  // list's journal, which a writer makes again after a crash; the list file
  // follows at checkpoints: when the journal has grown, when its first
  // change is older than 30 s, or a second with the cleaner running, and at
  // ReleaseFile) and is seen at once by every process that has the list
  // loaded. Records are
  // copied; the caller keeps its own.

  // Stores *pItem: it replaces the record with the same rule number (letter
  // case aside), else it is inserted in key order (nContentLen, unsigned), in
  // front of the records with an equal key. A replacement whose key differs
  // moves to its sorted place. A full file grows by 100 slots. Returns 1 when
  // stored; 0 for a null pItem, a list that is not loaded or is read-only, a
  // lock wait that ran out, or a failed growth (the list is then released
  // and must be loaded again). A pattern (a text with '*') whose key is above
  // 1000 is stored but can never match: the wildcard comparison refuses
  // content longer than 1000 bytes.
  int32_t AddItem(NEW_AUDIT_LIST_ITEM* pItem);

  // Stores nCount records as that many AddItem calls would, one after
  // another, and leaves the list byte for byte as they would leave it; but
  // the list is rewritten once instead of once per record. The lock is held
  // for about 400 ms at the most: a longer batch goes in chunks, each under
  // the lock and released between them (other processes' changes may land in
  // between, as between separate AddItem calls). Returns how many records
  // were stored (the first ones); *pnReplaced, when not null, receives how
  // many of those replaced a record with the same rule number. Fewer than
  // nCount when a record could not be stored: the list is not loaded, is
  // read-only, could not grow, or the lock wait ran out.
  int32_t AddItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount,
                   int32_t* pnReplaced = nullptr);

  // Deletes the records whose rule number equals the first 29 characters of
  // pszRuleNo (letter case aside): the first one, and each later one while at
  // least two records follow the one deleted before it. Returns 1, also when
  // nothing matched, pszRuleNo is null, or the list is empty or not loaded;
  // 0 when the list is read-only, the lock wait ran out, or the change could
  // not be written to disk.
  int32_t DeleteItem(char* pszRuleNo);
  int32_t DeleteItem(const char* pszRuleNo);

  // Deletes every record whose cItemType equals nType (a value outside
  // -128..127 matches nothing). Returns 1 when the list is loaded and holds
  // records; 0 when it is empty, not loaded, read-only, or the lock wait ran
  // out.
  int32_t DeleteItem(int32_t nType);

  // Where the lists are: the path of the file of list type nListType in the
  // list directory that loads use now (VARNEX_SYSTEM_DIR when set and not
  // empty; else /var/lib/varnex, or on Windows the system directory), or the
  // directory itself for a negative nListType. Copies it, NUL-terminated,
  // into pszOut when it fits in nSize bytes, and returns its length without
  // the NUL (call again with room for it); -1 for a type above 8.
  static int32_t GetListPath(int32_t nListType, char* pszOut, uint32_t nSize);

  // Rule numbers as AddItem and AddItems tell one from another (a record
  // replaces the one with the same rule number): two szRuleNo fields are
  // the same when they agree up to their NULs, ASCII letters compared
  // without their case. Each reads at most the 32 bytes of a field, and
  // nothing past its NUL. RuleNoHash gives rule numbers that are the same
  // the same value. Either may be null (an empty rule number).
  static bool IsSameRuleNo(const char* pszA, const char* pszB);
  static uint64_t RuleNoHash(const char* pszRuleNo);

  // True when a writer died inside a change of the list and no writer has
  // completed it yet: the records may stand half changed until the next
  // change of the list, whose writer completes it from the journal first.
  // Waits half a second at the most (a change under way ends sooner);
  // false at once when no change is under way, or the list is not loaded.
  bool IsChangeUnfinished();

  // Why this thread's last changing call on this object (AddItem, AddItems,
  // DeleteItem, AppendItemInfo, CleanOutdateItem, ResetFileToEmpty,
  // ReplaceFile) did not do all it was asked: a VARNEX_FAILURE value,
  // VARNEX_FAILURE_NONE when it did (or no such call was made).
  int32_t GetLastFailure() const;

  // Stores *pItem after the last record, whatever its key. True when stored.
  bool AppendItemInfo(const NEW_AUDIT_LIST_ITEM* pItem);

  // Stores nCount records after the last one, in their order, whatever their
  // keys (as that many AppendItemInfo calls would), in changes of up to
  // 10,000 records, each written to disk once. Returns how many were stored
  // (the first ones); fewer when the list is not loaded, is read-only, could
  // not grow, or the lock wait ran out (GetLastFailure says which).
  int32_t AppendItems(const NEW_AUDIT_LIST_ITEM* pItems, int32_t nCount);

  // Deletes the records whose dwEndTime has passed, each together with the
  // records that share its rule number (within the rules of DeleteItem).
  // Returns true (false only for an object without a file object).
  bool CleanOutdateItem();

  // The verdict match: 1 when a record of the list covers the content met,
  // else 0. Candidates are the records whose nContentLen equals
  // dwContentLen, found by a binary search (the list must be in key order, as
  // AddItem keeps it). A candidate covers the content when its time window
  // holds (dwStartTime <= now <= dwEndTime) and its text matches: as a
  // wildcard pattern when szContent holds a '*', else equal to pszContent
  // without regard to the case of ASCII letters. The content is the text at
  // pszContent up to its NUL, but never more than dwContentLen bytes: a
  // buffer without a NUL is read no further than that. A null pszContent is
  // covered by any record with the key, whatever its window. 0 when the list
  // is not loaded or is empty. Takes no lock: the answer is the one the
  // locked lookup gives at some moment during the call, and writers are
  // never waited for long; when writers keep changing the list, it takes the
  // lock, and goes ahead after the lock wait runs out.
  int32_t IsMatch(const char* pszContent, uint32_t dwContentLen);

  // The records that make IsMatch say 1 for this content: each record that
  // covers it, as IsMatch decides (the same comparison), whole and in list
  // order, all read from one state of the list. Copies them into pItems
  // when they fit in nMax records, and returns how many there are (0: the
  // verdict is "no match"; more than nMax: nothing copied, call again with
  // room for them); -1 for a negative nMax, a null pItems with room, no
  // memory, a list that is not loaded, or when no state of the list could
  // be read (as GetItems).
  int32_t GetMatchingItems(const char* pszContent, uint32_t dwContentLen,
                           NEW_AUDIT_LIST_ITEM* pItems, int32_t nMax);

  // The listing match: a chain of copies of every record with the key
  // dwContentLen whose szContent equals pszContent (read as IsMatch reads
  // it; ASCII letter case aside;
  // '*' and '?' are plain characters here; a null pszContent takes every
  // record with the key). The time window is checked only in list type 7.
  // nMatchCount receives the number of nodes and nItemType the smallest
  // nonzero cItemType among them (0 counts as none: a hit of type 0 makes it
  // 0 until the next hit sets its own). Returns the head of the chain, null
  // when nothing matched; the caller owns the chain and gives it back with
  // FreeList. When the list is not loaded or is empty, returns null and
  // leaves both integers untouched. Each hit is traced on the debug output.
  // Should a node not be allocated, the chain holds the hits found until
  // then, and nMatchCount says how many.
  AUDIT_RESULT_LIST* IsMatch(const char* pszContent, uint32_t dwContentLen, int32_t& nItemType,
                             int32_t& nMatchCount);

  // Frees at most nMaxNodes nodes of a chain from IsMatch, following pNext
  // and stopping at a null link (pass the nMatchCount that IsMatch gave).
  // Takes no lock; works on any object.
  void FreeList(AUDIT_RESULT_LIST* pList, int32_t nMaxNodes);

  // A thread start routine: pParam is the CVarnex whose list it cleans. Once
  // a second it takes the list's lock, runs CleanOutdateItem, puts the list
  // file on the disk when changes of a second ago are only in its journal
  // (see LoadFile), and sleeps without the lock; on a thread of its own it never returns by itself
  // (0xFFFFFFFF at once for an object without a file object). Run by
  // CListCleaner, it returns 0 when the cleaner tells it to stop, at the end
  // of a sleep, never inside a call. The object must outlive the thread.
  static uint32_t ListManageThread(void* pParam);

  // A native thread handle that the object keeps and lets go of when it is
  // destroyed (on this platform: a pthread_t, detached by the destructor).
  // The object never starts or stops that thread.
  void SetThreadHandle(uintptr_t hThread) { m_hThread = hThread; }
  uintptr_t GetThreadHandle() const { return m_hThread; }

 protected:
  // 1 when a record of item type nKind holds an address range (first and
  // last address in its first eight bytes) that covers dwIP, else 0; read
  // as GetItem reads, without the lock unless writers keep changing the list.
  int32_t CoversAddress(uint32_t dwIP, int32_t nKind);

  // Looks nothing up: answers 1, and reads and writes nothing (the record
  // is left as it is). A program that needs a record by rule number reads
  // the list with GetItems.
  int32_t GetItemFromKey2(char* pszKey, NEW_AUDIT_LIST_ITEM& item);

 private:
  void Lock();
  void Unlock();
  int32_t Load(bool bForReading);

  CSysListFileEx* m_pListFile;
  int32_t m_nListType;
  uintptr_t m_hThread;
};

// Runs the cleaning routine (CVarnex::ListManageThread) for one list on a
// thread of its own, from construction to destruction. The destructor stops
// the thread between two passes and waits for it, so the list object may be
// destroyed afterwards. The list object must outlive the cleaner.
class VARNEX_API CListCleaner {
 public:
  explicit CListCleaner(CVarnex& list);
  ~CListCleaner();
  CListCleaner(const CListCleaner&) = delete;
  CListCleaner& operator=(const CListCleaner&) = delete;

  // False when the thread could not be started.
  bool IsRunning() const { return m_pThread != nullptr; }

 private:
  void* m_pThread;
};

// Compares pszText with the wildcard pattern pszPattern ('*' any run of
// bytes, '?' one byte; letters compare without regard to case, folded as the
// process's LC_CTYPE locale folds them). Returns 0 match, 1 no match, 3 a
// null argument, 4 an empty pattern with a text (or an empty text), 5 a string
// longer than 1000 bytes, 6 a pattern without '*' or '?', 7 a text holding
// '*' or '?', 255 an internal failure. Thread-safe; changes neither string.
VARNEX_API uint8_t WildcardCompare(const char* pszPattern, const char* pszText);

// The two kinds of entry of the IP list (the cItemType of an entry).
inline constexpr int32_t IP_LIST_WHITE = 0;
inline constexpr int32_t IP_LIST_MANAGE = 1;

// The IP list (list type 4, "IPAudit.sys") as a table of address ranges of
// two kinds: manage entries and white entries. An entry is a record whose
// szContent holds three little-endian 32-bit numbers (first address, last
// address, both inclusive, and a value stored with a manage entry), whose
// cItemType is IP_LIST_MANAGE or IP_LIST_WHITE, and whose every other byte is
// zero. Addresses are compared as unsigned numbers exactly as given, so pass
// them all in one form in which numeric order is address order.
//
// Entries stand in the order they were added; tests and resets walk the whole
// list through GetItem. Their dwEndTime is 0, so a purge of outdated records
// (CleanOutdateItem, ListManageThread) removes every one of them.
//
// List type 4 has no mutex: no call on it excludes any other, in this process
// or in another. Callers that share the IP list between writers keep them
// apart by their own means.
class VARNEX_API CManaListEx : public CVarnex {
 public:
  // Makes the object for list type 4 and loads the list; a failed load is
  // written to the debug output and leaves the list unloaded (never retried).
  CManaListEx();
  // Shares the source's list file object, as CVarnex copies do.
  CManaListEx(const CManaListEx& other);
  CManaListEx& operator=(const CManaListEx& other);
  ~CManaListEx() override;

  // Appends a white entry for [dwStartIP, dwEndIP]. True when appended.
  bool AddWhiteList(uint32_t dwStartIP, uint32_t dwEndIP);
  // Appends a manage entry for [dwStartIP, dwEndIP] with dwManageValue.
  bool AddManageList(uint32_t dwStartIP, uint32_t dwEndIP, uint32_t dwManageValue);

  // nListKind IP_LIST_WHITE: 1 when a white entry covers dwIP, else 0.
  // nListKind IP_LIST_MANAGE: 1 when a manage entry covers dwIP, or when the
  // list holds no record at all (an empty list manages every address), else 0.
  // Any other kind: 0. (Hides CVarnex::IsMatch; reach those through CVarnex.)
  int32_t IsMatch(uint32_t dwIP, int32_t nListKind);

  // Remove every manage (white) entry; the other records keep their order.
  void ResetAllManageList();
  void ResetAllWhiteList();

 private:
  int32_t IsInManageList(uint32_t dwIP);
  int32_t IsInWhiteList(uint32_t dwIP);
  // Whether some entry of kind nKind covers dwIP: 1, or 0 (also when a read
  // fails before a hit).
  int32_t WalkFor(uint32_t dwIP, int32_t nKind, int32_t nCount);
  void ResetKind(int32_t nKind);
};
