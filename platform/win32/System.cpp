// The system facilities of the Windows platform layer: the machine's run,
// the process's locale, the clock, debug output, and threads that the
// caller started.
#include <io.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Fnv.h"
#include "platform/win32/Win32Support.h"

namespace varnex::platform {

using namespace win32;

namespace {

// What NtQuerySystemInformation reports as SystemTimeOfDayInformation.
struct TimeOfDay {
  LARGE_INTEGER boot_time;
  LARGE_INTEGER current_time;
  LARGE_INTEGER time_zone_bias;
  ULONG time_zone_id;
  ULONG reserved;
  ULONGLONG boot_time_bias;
  ULONGLONG sleep_time_bias;
};
constexpr ULONG kSystemTimeOfDayInformation = 3;
using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// The boot counter that Windows keeps in the registry (since Windows 8).
DWORD BootCounter() {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueA(HKEY_LOCAL_MACHINE,
                   "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory "
                   "Management\\PrefetchParameters",
                   "BootId", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

}  // namespace

const uint8_t* BootIdentity() {
  static const auto* identity = [] {
    auto* bytes = new uint8_t[kBootIdentitySize]();
    // The time the system started, as the kernel keeps it (every process
    // reads the same value), and the boot counter where there is one.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto query = ntdll != nullptr
                     ? reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
                           GetProcAddress(ntdll, "NtQuerySystemInformation")))
                     : nullptr;
    TimeOfDay info = {};
    ULONG length = 0;
    if (query != nullptr && query(kSystemTimeOfDayInformation, &info, sizeof info, &length) == 0) {
      const int64_t boot = info.boot_time.QuadPart;
      std::memcpy(bytes, &boot, sizeof boot);
    }
    const DWORD counter = BootCounter();
    std::memcpy(bytes + 8, &counter, sizeof counter);
    return bytes;
  }();
  return identity;
}

uint32_t EffectiveUser() {
  return 0;  // see OwnershipOf: 0 is the calling account and its peers
}

uint32_t EffectiveGroup() {
  return 0;
}

namespace {

// The upper-case table of the calling thread's locale, made again whenever
// the locale's name changes.
struct ThreadTable {
  std::string locale;
  int32_t table[256];
  bool ascii_only = true;
  uint64_t identity = 0;
};

const ThreadTable& CurrentTable() {
  thread_local ThreadTable t_table;
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  const char* current = name != nullptr ? name : "";
  if (t_table.identity != 0 && t_table.locale == current) return t_table;
  t_table.locale = current;
  t_table.ascii_only = true;
  for (int c = 0; c < 256; ++c) {
    t_table.table[c] = std::toupper(c);
    t_table.ascii_only &= t_table.table[c] == ((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c);
  }
  Fnv1a hash;  // over what decides the folding
  const size_t max_bytes = MB_CUR_MAX;
  hash.Add(&max_bytes, sizeof max_bytes);
  hash.Add(current, std::strlen(current) + 1);
  hash.Add(t_table.table, sizeof t_table.table);
  t_table.identity = hash.NonZero();
  return t_table;
}

}  // namespace

UpperCaseBytes ThreadUpperCase() {
  const ThreadTable& table = CurrentTable();
  return {table.table, table.ascii_only};
}

uint64_t CaseFoldingIdentity() {
  return CurrentTable().identity;
}

std::string SystemDirectory() {
  char directory[MAX_PATH];
  const UINT length = GetSystemDirectoryA(directory, sizeof directory);
  return length > 0 && length < sizeof directory ? std::string(directory, length) : std::string();
}

uint32_t CurrentTime32() {
  // From the system clock itself: the C runtime's time() costs microseconds
  // under some runtimes, and every verdict reads the time.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksTo1970 = 116444736000000000ULL;  // 100 ns ticks since 1601
  return static_cast<uint32_t>((ticks - kTicksTo1970) / 10000000ULL);
}

void WaitForClockPast(uint64_t) {
  // No file's change time is trusted here (see MappedFile::ChangeTime).
}

void WriteStandardError(const char* text) {
  if (text == nullptr) return;
  size_t length = std::strlen(text);
  while (length > 0) {
    const int part = length > 65536 ? 65536 : static_cast<int>(length);
    const int written = _write(2, text, static_cast<unsigned>(part));
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

// The debugger's output: in UTF-16, so that a debugger shows the text alike
// on a system of any code page; a text that is not UTF-8 (bytes of a list)
// goes out as it stands.
void WriteSystemLog(const char*, const char* text) {
  if (text == nullptr) return;
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length > 0) {
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length) ==
        length) {
      OutputDebugStringW(wide.c_str());
      return;
    }
  }
  OutputDebugStringA(text);
}

void ReleaseThreadHandle(uintptr_t handle) {
  if (handle != 0) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool FenceAllThreads() {
  FlushProcessWriteBuffers();
  return true;
}

bool CanFenceAllThreads() {
  return true;
}

}  // namespace varnex::platform
