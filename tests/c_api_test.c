/* The C interface from a program compiled as C: every call, its failure
 * paths (null and closed handles, a damaged list, a locked list, no memory
 * for a copy) and two processes, one adding while the other sees it at
 * once. Works in a list directory of its own, which it removes. Exits 0
 * when every check held. */
#if !defined(_WIN32)
#define _GNU_SOURCE /* F_OFD_SETLKW */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <varnex/varnex_c.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

static int g_failures = 0;
#define CHECK(condition)                                                      \
  do {                                                                        \
    if (!(condition)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++g_failures;                                                           \
    }                                                                         \
  } while (0)

static char g_dir[512];

static varnex_record Record(const char* rule, const char* content, uint32_t key, int8_t type,
                            uint32_t end) {
  varnex_record record;
  memset(&record, 0, sizeof record);
  strncpy(record.rule_no, rule, sizeof record.rule_no - 1);
  strncpy(record.content, content, sizeof record.content - 1);
  record.content_len = key;
  record.item_type = type;
  record.end_time = end;
  return record;
}

static int32_t Count(varnex_list* list) {
  int32_t count = -1;
  CHECK(varnex_count(list, &count) == VARNEX_OK);
  return count;
}

static int32_t Verdict(varnex_list* list, const char* content) {
  int32_t verdict = -1;
  CHECK(varnex_match(list, content, (uint32_t)strlen(content), &verdict) == VARNEX_OK);
  return verdict;
}

/* ---- the list directory and other processes ---------------------------- */

#if defined(_WIN32)
static void MakeDirectory(void) {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  snprintf(g_dir, sizeof g_dir, "%svarnex-c-%lu", base, (unsigned long)GetCurrentProcessId());
  CreateDirectoryA(g_dir, NULL);
  _putenv_s("VARNEX_SYSTEM_DIR", g_dir);
}
static void RemoveDirectory_(void) {
  char pattern[600], path[900];
  WIN32_FIND_DATAA found;
  snprintf(pattern, sizeof pattern, "%s\\*", g_dir);
  HANDLE walk = FindFirstFileA(pattern, &found);
  if (walk != INVALID_HANDLE_VALUE) {
    do {
      snprintf(path, sizeof path, "%s\\%s", g_dir, found.cFileName);
      DeleteFileA(path);
    } while (FindNextFileA(walk, &found));
    FindClose(walk);
  }
  RemoveDirectoryA(g_dir);
}
/* Runs this program with the arguments; its exit status. */
static int RunChild(const char* self, const char* arguments) {
  char command[1200];
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  DWORD status = 1;
  snprintf(command, sizeof command, "\"%s\" %s", self, arguments);
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return (int)status;
}
#else
static void MakeDirectory(void) {
  const char* tmp = getenv("TMPDIR");
  snprintf(g_dir, sizeof g_dir, "%s/varnex-c-XXXXXX", tmp != NULL && *tmp != '\0' ? tmp : "/tmp");
  if (mkdtemp(g_dir) == NULL) {
    perror("mkdtemp");
    exit(2);
  }
  setenv("VARNEX_SYSTEM_DIR", g_dir, 1);
}
static void RemoveDirectory_(void) {
  DIR* walk = opendir(g_dir);
  struct dirent* entry;
  char path[900];
  while (walk != NULL && (entry = readdir(walk)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    snprintf(path, sizeof path, "%s/%s", g_dir, entry->d_name);
    unlink(path);
  }
  if (walk != NULL) closedir(walk);
  rmdir(g_dir);
}
static int RunChild(const char* self, const char* arguments) {
  char command[1200];
  int status;
  snprintf(command, sizeof command, "'%s' %s", self, arguments);
  status = system(command);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

/* The child of the two-process check: adds one record to list 0 and says
 * whether that worked. */
static int ChildAdds(const char* rule) {
  varnex_list* list = NULL;
  varnex_record record = Record(rule, "from.the.child", 14, 1, 0xFFFFFFFFu);
  int ok = varnex_open(0, VARNEX_OPEN_WRITE, &list) == VARNEX_OK &&
           varnex_add(list, &record) == VARNEX_OK;
  varnex_free(list);
  return ok ? 0 : 1;
}

/* ---- the checks ---------------------------------------------------------- */

static void NullAndInvalidArguments(void) {
  varnex_list* list = (varnex_list*)1;
  varnex_record record = Record("r", "x", 1, 0, 1);
  varnex_record* records = NULL;
  int32_t number = 0;
  char text[8];
  CHECK(varnex_open(9, VARNEX_OPEN_WRITE, &list) == VARNEX_E_INVALID && list == NULL);
  CHECK(varnex_open(-1, VARNEX_OPEN_READ, &list) == VARNEX_E_INVALID && list == NULL);
  CHECK(varnex_open(0, 7u, &list) == VARNEX_E_INVALID && list == NULL);
  CHECK(varnex_open(0, VARNEX_OPEN_WRITE, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_close(NULL) == VARNEX_E_INVALID);
  CHECK(varnex_last_error(NULL, text, sizeof text) == VARNEX_E_INVALID);
  CHECK(varnex_count(NULL, &number) == VARNEX_E_INVALID);
  CHECK(varnex_get(NULL, 0, &record) == VARNEX_E_INVALID);
  CHECK(varnex_copy(NULL, &records, &number) == VARNEX_E_INVALID);
  CHECK(varnex_match(NULL, "x", 1, &number) == VARNEX_E_INVALID);
  CHECK(varnex_matching(NULL, "x", 1, &records, &number) == VARNEX_E_INVALID);
  CHECK(varnex_match_all(NULL, "x", 1, &records, &number, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_add(NULL, &record) == VARNEX_E_INVALID);
  CHECK(varnex_add_many(NULL, &record, 1, &number, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_append(NULL, &record, 1, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_delete_rule(NULL, "r") == VARNEX_E_INVALID);
  CHECK(varnex_delete_type(NULL, 1) == VARNEX_E_INVALID);
  CHECK(varnex_purge(NULL) == VARNEX_E_INVALID);
  CHECK(varnex_reset(NULL) == VARNEX_E_INVALID);
  CHECK(varnex_replace(NULL, "x") == VARNEX_E_INVALID);
  CHECK(varnex_ip_add(NULL, VARNEX_IP_WHITE, 1, 2, 0) == VARNEX_E_INVALID);
  CHECK(varnex_ip_match(NULL, 1, VARNEX_IP_WHITE, &number) == VARNEX_E_INVALID);
  CHECK(varnex_ip_reset(NULL, VARNEX_IP_WHITE) == VARNEX_E_INVALID);
  varnex_free(NULL);
  varnex_free_records(NULL);
  CHECK(strlen(varnex_status_text((varnex_status)99)) > 0);
  for (number = VARNEX_OK; number <= VARNEX_E_FAILED; ++number) {
    CHECK(strlen(varnex_status_text((varnex_status)number)) > 0);
  }
}

static void ReadingAndMatching(void) {
  varnex_list* list = NULL;
  varnex_record records[3];
  varnex_record got;
  varnex_record* out = NULL;
  int32_t count = 0, item_type = 0;
  char message[64];
  CHECK(varnex_open(0, VARNEX_OPEN_WRITE, &list) == VARNEX_OK && list != NULL);
  if (list == NULL) return;
  CHECK(varnex_last_error(list, message, sizeof message) == VARNEX_OK);
  records[0] = Record("p1", "*.example.org", 15, 3, 0xFFFFFFFFu);
  records[1] = Record("e1", "exact.com", 9, 2, 0xFFFFFFFFu);
  records[2] = Record("e2", "EXACT.com", 9, 5, 0xFFFFFFFFu);
  CHECK(varnex_add(list, &records[0]) == VARNEX_OK);
  CHECK(varnex_add_many(list, &records[1], 2, &count, NULL) == VARNEX_OK && count == 2);
  CHECK(Count(list) == 3);
  CHECK(varnex_get(list, 0, &got) == VARNEX_OK && got.content_len == 9);
  CHECK(varnex_get(list, 3, &got) == VARNEX_E_INVALID);
  CHECK(varnex_get(list, -1, &got) == VARNEX_E_INVALID);
  CHECK(varnex_get(list, 0, NULL) == VARNEX_E_INVALID);
  CHECK(Verdict(list, "www.example.org") == 1);
  CHECK(Verdict(list, "www.example.net") == 0);
  CHECK(Verdict(list, "Exact.Com") == 1);
  /* Read no further than the length given. */
  CHECK(varnex_match(list, "exact.comXYZ", 9, &count) == VARNEX_OK && count == 1);
  CHECK(varnex_match(list, "x", 1, NULL) == VARNEX_E_INVALID);

  CHECK(varnex_matching(list, "www.example.org", 15, &out, &count) == VARNEX_OK && count == 1);
  CHECK(out != NULL && strcmp(out[0].rule_no, "p1") == 0);
  varnex_free_records(out);
  CHECK(varnex_matching(list, "nothing", 7, &out, &count) == VARNEX_OK && count == 0 &&
        out == NULL);

  CHECK(varnex_match_all(list, "exact.com", 9, &out, &count, &item_type) == VARNEX_OK);
  CHECK(count == 2 && item_type == 2 && out != NULL);
  varnex_free_records(out);
  CHECK(varnex_match_all(list, "none.com", 8, &out, &count, &item_type) == VARNEX_OK &&
        count == 0 && out == NULL && item_type == 0);

  CHECK(varnex_copy(list, &out, &count) == VARNEX_OK && count == 3 && out != NULL);
  if (out != NULL) CHECK(strcmp(out[2].rule_no, "p1") == 0);
  varnex_free_records(out);
  varnex_free(list);
}

static void Changing(void) {
  varnex_list* list = NULL;
  varnex_record batch[100];
  varnex_record one;
  char path[600];
  uint32_t length = 0;
  int32_t stored = 0, replaced = 0, i;
  FILE* from;
  FILE* to;
  char backup[700];
  char buffer[4096];
  size_t n;
  CHECK(varnex_open(2, VARNEX_OPEN_WRITE, &list) == VARNEX_OK);
  if (list == NULL) return;
  for (i = 0; i < 100; ++i) {
    char rule[16], text[32];
    snprintf(rule, sizeof rule, "b%d", i % 90); /* the last ten replace */
    snprintf(text, sizeof text, "host%d.example", i);
    batch[i] =
        Record(rule, text, (uint32_t)strlen(text), (int8_t)(i % 4), i % 10 == 0 ? 1u : 0xFFFFFFFFu);
  }
  CHECK(varnex_add_many(list, batch, 100, &stored, &replaced) == VARNEX_OK);
  CHECK(stored == 100 && replaced == 10 && Count(list) == 90);
  CHECK(varnex_add_many(list, batch, -1, &stored, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_add_many(list, NULL, 1, &stored, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_add_many(list, batch, 0, &stored, NULL) == VARNEX_OK && stored == 0);
  CHECK(varnex_append(list, batch, 2, &stored) == VARNEX_OK && stored == 2 && Count(list) == 92);
  CHECK(varnex_delete_rule(list, "b1") == VARNEX_OK && Count(list) == 90);
  CHECK(varnex_delete_rule(list, NULL) == VARNEX_E_INVALID);
  CHECK(varnex_delete_type(list, 3) == VARNEX_OK && Count(list) < 90);
  CHECK(varnex_delete_type(list, 200) == VARNEX_E_INVALID);
  i = Count(list);
  CHECK(varnex_purge(list) == VARNEX_OK && Count(list) < i);

  /* A backup put back: the list file copied aside, the list emptied, then
   * replaced from the copy. */
  i = Count(list);
  CHECK(varnex_list_path(2, path, sizeof path, &length) == VARNEX_OK && length == strlen(path));
  snprintf(backup, sizeof backup, "%s.backup", path);
  from = fopen(path, "rb");
  to = fopen(backup, "wb");
  CHECK(from != NULL && to != NULL);
  while (from != NULL && to != NULL && (n = fread(buffer, 1, sizeof buffer, from)) > 0) {
    fwrite(buffer, 1, n, to);
  }
  if (from != NULL) fclose(from);
  if (to != NULL) fclose(to);
  CHECK(varnex_reset(list) == VARNEX_OK && Count(list) == 0);
  CHECK(varnex_purge(list) == VARNEX_OK); /* nothing to purge is no failure */
  CHECK(varnex_replace(list, backup) == VARNEX_OK && Count(list) == i);
  CHECK(varnex_replace(list, "/nonexistent/list.sys") == VARNEX_E_FAILED);
  CHECK(varnex_replace(list, NULL) == VARNEX_E_INVALID);
  one = Record("solo", "solo.example", 12, 0, 0xFFFFFFFFu);
  CHECK(varnex_add(list, &one) == VARNEX_OK && Verdict(list, "solo.example") == 1);
  CHECK(varnex_add(list, NULL) == VARNEX_E_INVALID);
  varnex_free(list);
  remove(backup);
}

static void AddressList(void) {
  varnex_list* list = NULL;
  varnex_list* plain = NULL;
  int32_t covered = -1;
  CHECK(varnex_open(4, VARNEX_OPEN_WRITE, &list) == VARNEX_OK);
  if (list == NULL) return;
  CHECK(varnex_ip_match(list, 5, VARNEX_IP_MANAGE, &covered) == VARNEX_OK && covered == 1);
  CHECK(varnex_ip_add(list, VARNEX_IP_WHITE, 10, 20, 0) == VARNEX_OK);
  CHECK(varnex_ip_add(list, VARNEX_IP_MANAGE, 100, 200, 7) == VARNEX_OK);
  CHECK(varnex_ip_add(list, 2, 1, 2, 0) == VARNEX_E_INVALID);
  CHECK(varnex_ip_match(list, 15, VARNEX_IP_WHITE, &covered) == VARNEX_OK && covered == 1);
  CHECK(varnex_ip_match(list, 25, VARNEX_IP_WHITE, &covered) == VARNEX_OK && covered == 0);
  CHECK(varnex_ip_match(list, 150, VARNEX_IP_MANAGE, &covered) == VARNEX_OK && covered == 1);
  CHECK(varnex_ip_match(list, 5, VARNEX_IP_MANAGE, &covered) == VARNEX_OK && covered == 0);
  CHECK(varnex_ip_match(list, 5, 9, &covered) == VARNEX_E_INVALID);
  CHECK(varnex_ip_reset(list, VARNEX_IP_WHITE) == VARNEX_OK);
  CHECK(varnex_ip_match(list, 15, VARNEX_IP_WHITE, &covered) == VARNEX_OK && covered == 0);
  CHECK(Count(list) == 1);
  varnex_free(list);
  CHECK(varnex_open(3, VARNEX_OPEN_WRITE, &plain) == VARNEX_OK);
  CHECK(varnex_ip_add(plain, VARNEX_IP_WHITE, 1, 2, 0) == VARNEX_E_INVALID);
  varnex_free(plain);
}

static void PathsReadOnlyAndClosedHandles(void) {
  varnex_list* reader = NULL;
  varnex_list* list = NULL;
  varnex_record record = Record("ro", "read.only", 9, 0, 0xFFFFFFFFu);
  char small[4] = "xyz", message[128];
  uint32_t length = 0;
  int32_t count = 0;
  CHECK(varnex_list_path(-1, small, sizeof small, &length) == VARNEX_E_INVALID);
  CHECK(length == strlen(g_dir) && strcmp(small, "xyz") == 0);
  CHECK(varnex_list_path(9, NULL, 0, &length) == VARNEX_E_INVALID);

  CHECK(varnex_open(0, VARNEX_OPEN_READ, &reader) == VARNEX_OK);
  CHECK(varnex_add(reader, &record) == VARNEX_E_READ_ONLY);
  CHECK(varnex_last_error(reader, message, sizeof message) == VARNEX_E_READ_ONLY);
  CHECK(strlen(message) > 0);
  CHECK(Verdict(reader, "exact.com") == 1); /* (from ReadingAndMatching) */

  CHECK(varnex_open(0, VARNEX_OPEN_WRITE, &list) == VARNEX_OK);
  CHECK(varnex_close(list) == VARNEX_OK);
  CHECK(varnex_close(list) == VARNEX_E_CLOSED);
  CHECK(varnex_count(list, &count) == VARNEX_E_CLOSED);
  CHECK(varnex_match(list, "exact.com", 9, &count) == VARNEX_E_CLOSED);
  CHECK(varnex_add(list, &record) == VARNEX_E_CLOSED);
  CHECK(varnex_ip_reset(list, VARNEX_IP_WHITE) == VARNEX_E_CLOSED);
  CHECK(varnex_last_error(list, message, 3) == VARNEX_E_CLOSED && strlen(message) == 2);
  varnex_free(list);
  varnex_free(reader);
}

static void DamagedList(void) {
  /* A list file whose header has another format tag. */
  char path[600];
  unsigned char header[24 + 241 * 100];
  varnex_list* list = NULL;
  FILE* file;
  memset(header, 0, sizeof header);
  header[0] = 3; /* three records */
  header[8] = 7; /* format tag 7 instead of 52 */
  CHECK(varnex_list_path(5, path, sizeof path, NULL) == VARNEX_OK);
  file = fopen(path, "wb");
  CHECK(file != NULL);
  if (file == NULL) return;
  fwrite(header, 1, sizeof header, file);
  fclose(file);
  CHECK(varnex_open(5, VARNEX_OPEN_WRITE, &list) == VARNEX_E_DAMAGED && list != NULL);
  CHECK(varnex_last_error(list, NULL, 0) == VARNEX_E_DAMAGED);
  CHECK(Count(list) == 0 && Verdict(list, "anything") == 0);
  varnex_free(list);
}

static void TwoProcesses(const char* self) {
  varnex_list* list = NULL;
  CHECK(varnex_open(0, VARNEX_OPEN_READ, &list) == VARNEX_OK);
  CHECK(Verdict(list, "from.the.child") == 0);
  CHECK(RunChild(self, "--add-as-child c1") == 0);
  /* Seen at once by the handle that was open all along. */
  CHECK(Verdict(list, "from.the.child") == 1);
  varnex_free(list);
}

#if !defined(_WIN32)
/* Another process holds list 0's lock (the kernel's lock on its mutex file)
 * while this one tries to change the list. */
static void LockedList(void) {
  char path[700];
  int ready[2], done[2];
  pid_t holder;
  char byte = 0;
  varnex_list* list = NULL;
  varnex_record record = Record("late", "late.example", 12, 0, 0xFFFFFFFFu);
  char message[128];
  snprintf(path, sizeof path, "%s/SYSLIST_FILE_MUTEX_0", g_dir);
  CHECK(varnex_open(0, VARNEX_OPEN_WRITE, &list) == VARNEX_OK);
  if (list == NULL || pipe(ready) != 0 || pipe(done) != 0) return;
  holder = fork();
  if (holder == 0) {
    struct flock range;
    int fd = open(path, O_RDWR);
    memset(&range, 0, sizeof range);
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_SETLKW, &range) != 0) _exit(1);
    if (write(ready[1], "r", 1) != 1) _exit(1);
    if (read(done[0], &byte, 1) != 1) _exit(1);
    _exit(0);
  }
  CHECK(read(ready[0], &byte, 1) == 1);
  CHECK(varnex_add(list, &record) == VARNEX_E_LOCKED);
  CHECK(varnex_last_error(list, message, sizeof message) == VARNEX_E_LOCKED);
  CHECK(write(done[1], "d", 1) == 1);
  waitpid(holder, NULL, 0);
  CHECK(varnex_add(list, &record) == VARNEX_OK);
  close(ready[0]);
  close(ready[1]);
  close(done[0]);
  close(done[1]);
  varnex_free(list);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
/* No memory for a copy: a child whose address space is capped just above
 * what it uses asks for a copy of a list of 50,000 records. */
static void NoMemoryForACopy(void) {
  varnex_list* list = NULL;
  varnex_record* batch = (varnex_record*)calloc(50000, sizeof(varnex_record));
  int32_t stored = 0, i;
  pid_t child;
  int status = 0;
  if (batch == NULL) return;
  for (i = 0; i < 50000; ++i) {
    char text[32];
    snprintf(batch[i].rule_no, sizeof batch[i].rule_no, "m%d", i);
    snprintf(text, sizeof text, "m%d.example", i);
    strcpy(batch[i].content, text);
    batch[i].content_len = (uint32_t)strlen(text);
    batch[i].end_time = 0xFFFFFFFFu;
  }
  CHECK(varnex_open(6, VARNEX_OPEN_WRITE, &list) == VARNEX_OK);
  CHECK(varnex_append(list, batch, 50000, &stored) == VARNEX_OK && stored == 50000);
  free(batch);
  child = fork();
  if (child == 0) {
    varnex_record* copy = NULL;
    int32_t count = 0;
    long pages = 0;
    struct rlimit limit;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) _exit(3);
    fclose(statm);
    limit.rlim_cur = limit.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (4u << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    if (varnex_copy(list, &copy, &count) != VARNEX_E_NO_MEMORY) _exit(1);
    if (copy != NULL || count != 0) _exit(2);
    if (varnex_last_error(list, NULL, 0) != VARNEX_E_NO_MEMORY) _exit(4);
    _exit(0);
  }
  waitpid(child, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  CHECK(varnex_reset(list) == VARNEX_OK);
  varnex_free(list);
}
#endif
#endif

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--add-as-child") == 0) return ChildAdds(argv[2]);
  MakeDirectory();
  NullAndInvalidArguments();
  ReadingAndMatching();
  Changing();
  AddressList();
  PathsReadOnlyAndClosedHandles();
  DamagedList();
  TwoProcesses(argv[0]);
#if !defined(_WIN32)
  LockedList();
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  /* (A sanitizer's allocator ends the process where memory runs out.) */
  NoMemoryForACopy();
#endif
#endif
  RemoveDirectory_();
  if (g_failures != 0) fprintf(stderr, "%d checks failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
