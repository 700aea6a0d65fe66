/* Varnex from C and from every language that can call C: the same shared
 * lists as <varnex/Varnex.h>, behind an opaque handle per list.
 *
 * Every function returns a varnex_status (VARNEX_OK, or why it failed) and
 * hands its results through pointers; none throws, and every one is safe
 * with a null handle (VARNEX_E_INVALID) or a closed one (VARNEX_E_CLOSED).
 * Integers have fixed widths; records are the 241-byte records of the list
 * file, byte-packed.
 *
 * Threads: any number of threads may call the functions of one handle at
 * once, but varnex_close and varnex_free must not run while another thread
 * uses the handle. The reason of a handle's last failure is kept per handle
 * and read safely from any thread.
 *
 * Memory: arrays of records that the library hands out (varnex_copy,
 * varnex_match_all, varnex_matching) are given back with varnex_free_records,
 * never with the caller's own allocator. */
#ifndef VARNEX_VARNEX_C_H
#define VARNEX_VARNEX_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(VARNEX_BUILDING_LIBRARY)
#define VARNEX_C_API __declspec(dllexport)
#else
#define VARNEX_C_API __declspec(dllimport)
#endif
#else
#define VARNEX_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One record, exactly as the list file stores it (NEW_AUDIT_LIST_ITEM). */
#pragma pack(push, 1)
typedef struct varnex_record {
  char content[128];    /* text or wildcard pattern, NUL-terminated */
  uint32_t start_time;  /* start of validity, seconds since 1970 UTC */
  uint32_t end_time;    /* end of validity (inclusive) */
  uint32_t content_len; /* the key: the length of the texts it covers */
  char rule_no[32];     /* rule number, NUL-terminated: the identity */
  int8_t item_type;     /* item type or level of the rule */
  uint8_t reserved[68]; /* stored and copied, never interpreted */
} varnex_record;
#pragma pack(pop)

typedef struct varnex_list varnex_list;

typedef enum varnex_status {
  VARNEX_OK = 0,
  VARNEX_E_INVALID = 1,   /* a null handle or pointer, or an argument out of range */
  VARNEX_E_CLOSED = 2,    /* the handle was closed */
  VARNEX_E_LOCKED = 3,    /* another process held the list's lock past the wait */
  VARNEX_E_READ_ONLY = 4, /* this process may not change the list */
  VARNEX_E_DAMAGED = 5,   /* the list's header was damaged (see varnex_open) */
  VARNEX_E_NO_MEMORY = 6, /* no memory for the result */
  VARNEX_E_BUSY = 7,      /* writers kept changing the list: no state of it could be read */
  VARNEX_E_FAILED = 8     /* refused otherwise: the debug output says why */
} varnex_status;

/* How varnex_open opens a list. */
#define VARNEX_OPEN_WRITE 0u /* create and change the list where this process may */
#define VARNEX_OPEN_READ 1u  /* read only: nothing is created, locked or written */

/* The list types are 0 to 8; type 4 is the table of address ranges. */
#define VARNEX_LIST_TYPES 9
#define VARNEX_IP_WHITE 0
#define VARNEX_IP_MANAGE 1

/* Opens list `type` (as CVarnex::LoadFile, or LoadFileForReading with
 * VARNEX_OPEN_READ) and gives its handle in *list. VARNEX_E_DAMAGED: the
 * list's header was damaged, and the handle is open all the same on the
 * list as it now stands (a writer set the damaged file aside and emptied
 * the list; a reader reads it as empty): every lookup says "no match"
 * until it is put right. On any other failure *list is null. */
VARNEX_C_API varnex_status varnex_open(int32_t type, uint32_t flags, varnex_list** list);
/* Closes the list; the handle stays, closed, until varnex_free. */
VARNEX_C_API varnex_status varnex_close(varnex_list* list);
/* Closes the list if open and frees the handle. A null handle is ignored. */
VARNEX_C_API void varnex_free(varnex_list* list);

/* The reason of the handle's last failure: its status (VARNEX_OK when none
 * failed yet), and a sentence copied NUL-terminated into message (size
 * bytes, cut short to fit) when message is not null. */
VARNEX_C_API varnex_status varnex_last_error(const varnex_list* list, char* message, size_t size);
/* A short English description of a status; never null. */
VARNEX_C_API const char* varnex_status_text(varnex_status status);

/* Reading. */
VARNEX_C_API varnex_status varnex_count(varnex_list* list, int32_t* count);
VARNEX_C_API varnex_status varnex_get(varnex_list* list, int32_t index, varnex_record* record);
/* Every record, as the list stood at one moment, in an array the library
 * allocates (null when there is none). */
VARNEX_C_API varnex_status varnex_copy(varnex_list* list, varnex_record** records, int32_t* count);
/* The verdict lookup (CVarnex::IsMatch): *verdict 1 when a record covers the
 * content of length len (read no further than len bytes, or its NUL), else
 * 0. A null content is covered by any record with the key len. */
VARNEX_C_API varnex_status varnex_match(varnex_list* list, const char* content, uint32_t len,
                                        int32_t* verdict);
/* The records that make varnex_match say 1, as it decides. */
VARNEX_C_API varnex_status varnex_matching(varnex_list* list, const char* content, uint32_t len,
                                           varnex_record** records, int32_t* count);
/* The listing lookup (CVarnex::IsMatch with four arguments): the records
 * with the key whose text equals the content, and the smallest nonzero item
 * type among them in *item_type (0 for none; item_type may be null). */
VARNEX_C_API varnex_status varnex_match_all(varnex_list* list, const char* content, uint32_t len,
                                            varnex_record** records, int32_t* count,
                                            int32_t* item_type);
VARNEX_C_API void varnex_free_records(varnex_record* records);

/* Changing: each change is on the disk when the call returns and seen at
 * once by every process that has the list open. */
VARNEX_C_API varnex_status varnex_add(varnex_list* list, const varnex_record* record);
/* As that many varnex_add calls; *stored (and *replaced, when not null)
 * receive how many were stored (the first ones) and replaced a record. */
VARNEX_C_API varnex_status varnex_add_many(varnex_list* list, const varnex_record* records,
                                           int32_t count, int32_t* stored, int32_t* replaced);
/* After the last record, whatever their keys; *stored may be null. */
VARNEX_C_API varnex_status varnex_append(varnex_list* list, const varnex_record* records,
                                         int32_t count, int32_t* stored);
/* Deletes by rule number (its first 29 characters, letter case aside) or by
 * item type (-128..127), as CVarnex::DeleteItem. */
VARNEX_C_API varnex_status varnex_delete_rule(varnex_list* list, const char* rule_no);
VARNEX_C_API varnex_status varnex_delete_type(varnex_list* list, int32_t item_type);
/* Deletes the records whose end time has passed. */
VARNEX_C_API varnex_status varnex_purge(varnex_list* list);
/* Empties the list. */
VARNEX_C_API varnex_status varnex_reset(varnex_list* list);
/* Replaces the list with a copy of the list file at path (a backup). */
VARNEX_C_API varnex_status varnex_replace(varnex_list* list, const char* path);

/* The IP list (a handle of type 4; VARNEX_E_INVALID for any other). */
VARNEX_C_API varnex_status varnex_ip_add(varnex_list* list, int32_t kind, uint32_t first,
                                         uint32_t last, uint32_t value);
/* *covered as CManaListEx::IsMatch: 1 when an entry of the kind covers ip
 * (for VARNEX_IP_MANAGE also when the list is empty), else 0. */
VARNEX_C_API varnex_status varnex_ip_match(varnex_list* list, uint32_t ip, int32_t kind,
                                           int32_t* covered);
/* Removes every entry of the kind. */
VARNEX_C_API varnex_status varnex_ip_reset(varnex_list* list, int32_t kind);

/* Where the lists are: the path of list type `type`'s file, or the list
 * directory for a negative type, copied NUL-terminated into path when it
 * fits in size bytes; *length (when not null) receives its length without
 * the NUL. VARNEX_E_INVALID for a type above 8, or when it does not fit
 * (call again with *length + 1 bytes). */
VARNEX_C_API varnex_status varnex_list_path(int32_t type, char* path, uint32_t size,
                                            uint32_t* length);

#ifdef __cplusplus
}
#endif

#endif /* VARNEX_VARNEX_C_H */
