// A Windows program built against an installed Varnex.dll, run as several
// processes on list 0 in the system directory: a record added by one
// matches at once in another, and a holder of the list's mutex
// ("SYSLIST_FILE_MUTEX_0") that is killed while it holds it is taken over.
// Exits 0 when all of that holds; prints what failed otherwise.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <varnex/Varnex.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* kReadyEvent = "VarnexConsumerReady";

NEW_AUDIT_LIST_ITEM Record(const char* rule, const char* text) {
  NEW_AUDIT_LIST_ITEM item = {};
  std::strcpy(item.szContent, text);
  std::strcpy(item.szRuleNo, rule);
  item.nContentLen = static_cast<uint32_t>(std::strlen(text));
  item.dwEndTime = 0xFFFFFFFFu;
  return item;
}

void SayReady() {
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
  if (ready != nullptr) {
    SetEvent(ready);
    CloseHandle(ready);
  }
}

// Child: loads the list and waits (at most 10 s) until "example.com" matches.
int WaitForTheRecord() {
  CVarnex list(0);
  if (list.LoadFileForReading() != 1) return 3;
  SayReady();
  for (int i = 0; i < 10000; ++i) {
    if (list.IsMatch("EXAMPLE.COM", 11) == 1) return 0;
    Sleep(1);
  }
  return 4;
}

// Child: takes the list's mutex and waits to be killed.
int HoldTheMutex() {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "SYSLIST_FILE_MUTEX_0");
  if (mutex == nullptr || WaitForSingleObject(mutex, 1000) != WAIT_OBJECT_0) return 5;
  SayReady();
  Sleep(60000);
  return 6;
}

HANDLE Start(const char* role) {
  char program[MAX_PATH];
  GetModuleFileNameA(nullptr, program, sizeof program);
  std::string command = std::string("\"") + program + "\" " + role;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return nullptr;
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

int Fail(const char* what) {
  std::printf("failed: %s\n", what);
  return 1;
}

int Parent() {
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, kReadyEvent);
  CVarnex list(0);
  if (list.LoadFile() != 1) return Fail("load");
  if (!list.ResetFileToEmpty()) return Fail("reset");

  HANDLE reader = Start("wait");
  if (reader == nullptr || WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0) {
    return Fail("the reader did not start");
  }
  NEW_AUDIT_LIST_ITEM item = Record("r1", "example.com");
  if (list.AddItem(&item) != 1) return Fail("add");
  DWORD status = 1;
  if (WaitForSingleObject(reader, 15000) != WAIT_OBJECT_0 || !GetExitCodeProcess(reader, &status) ||
      status != 0) {
    return Fail("the other process did not see the record");
  }
  CloseHandle(reader);

  HANDLE holder = Start("hold");
  if (holder == nullptr || WaitForSingleObject(ready, 10000) != WAIT_OBJECT_0) {
    return Fail("the holder did not take the mutex");
  }
  NEW_AUDIT_LIST_ITEM second = Record("r2", "example.org");
  if (list.AddItem(&second) == 1) return Fail("added while another process held the mutex");
  TerminateProcess(holder, 9);
  WaitForSingleObject(holder, 10000);
  CloseHandle(holder);
  if (list.AddItem(&second) != 1) return Fail("the killed holder's mutex was not taken over");
  if (list.IsMatch("example.org", 11) != 1) return Fail("match after the take-over");
  std::printf("records %d: ok\n", list.GetTotalCount());
  list.ResetFileToEmpty();
  CloseHandle(ready);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "wait") == 0) return WaitForTheRecord();
  if (argc == 2 && std::strcmp(argv[1], "hold") == 0) return HoldTheMutex();
  return Parent();
}
