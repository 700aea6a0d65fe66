// What only the Windows module has: its entry point's messages and debug
// output through the debugger's channel, its kernel objects' names, the
// system directory, its version resource.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "store/ListPaths.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

constexpr DWORD kDebugStringWide = 0x4001000A;  // DBG_PRINTEXCEPTION_WIDE_C

// The text as a debugger of this system shows a message that was sent as
// `utf8`: the same text when it arrives in UTF-16 (as on current Windows),
// else in the system's code page (as Wine sends it).
std::string AsDebuggerShows(const std::string& utf8, bool wide) {
  if (wide) return utf8;
  std::wstring text(utf8.size() + 1, L'\0');
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, text.data(), static_cast<int>(text.size()));
  std::string shown(4 * utf8.size() + 1, '\0');
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, shown.data(),
                                        static_cast<int>(shown.size()), nullptr, nullptr);
  shown.resize(bytes > 0 ? static_cast<size_t>(bytes - 1) : 0);
  return shown;
}

// Collects what the process sends to a debugger (OutputDebugString) while it
// lives, as UTF-8 when it came in UTF-16.
class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    std::lock_guard<std::mutex> guard(Lock());
    Messages().clear();
    handler_ = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handle);
  }
  ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(Lock());
    return std::move(Messages());
  }
  // Whether a message came in UTF-16.
  static bool CameWide() { return Wide(); }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;
    return lock;
  }
  static std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
  }
  static bool& Wide() {
    static bool wide = false;
    return wide;
  }
  static LONG CALLBACK Handle(PEXCEPTION_POINTERS pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    std::string text;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C) {
      text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    } else if (record->ExceptionCode == kDebugStringWide) {
      const auto* wide = reinterpret_cast<const wchar_t*>(record->ExceptionInformation[1]);
      const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
      if (length > 0) {
        text.resize(static_cast<size_t>(length));
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), length, nullptr, nullptr);
        text.pop_back();
      }
      Wide() = true;
    } else {
      return EXCEPTION_CONTINUE_SEARCH;
    }
    std::lock_guard<std::mutex> guard(Lock());
    Messages().push_back(text);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  void* handler_ = nullptr;
};

// Loads and unloads a copy of the DLL (so that it is not the copy that the
// test program already has), in this process.
TEST(WindowsModuleTest, LoadAndUnloadSayHelloAndGoodbyeToTheDebugger) {
  TempListDir dir;
  const std::string copy = dir.path() + "\\VarnexCopy.dll";
  ASSERT_TRUE(CopyFileA(VARNEX_LIBRARY_PATH, copy.c_str(), FALSE));
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
  DebugOutputCapture capture;
  HMODULE module = LoadLibraryA(copy.c_str());
  ASSERT_NE(module, nullptr);
  ASSERT_NE(GetProcAddress(module, "_ZN7CVarnexC1Ei"), nullptr) << "CVarnex is not exported";
  FreeLibrary(module);
  const std::vector<std::string> messages = capture.Take();
  const bool wide = DebugOutputCapture::CameWide();
  // The run on a system of a given code page says which (see CMakeLists).
  if (const char* code_page = std::getenv("VARNEX_EXPECT_CODE_PAGE")) {
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(code_page)));
  }
  EXPECT_EQ(messages, (std::vector<std::string>{AsDebuggerShows("初始化列表DLL", wide),
                                                AsDebuggerShows("退出列表DLL", wide)}));
  DeleteFileA(copy.c_str());
}

TEST(WindowsModuleTest, DebugOutputGoesToTheDebuggerUnlessToldOtherwise) {
  TempListDir dir;
  SetEnvironment("VARNEX_DEBUG_OUTPUT", nullptr);
  DebugOutputCapture capture;
  {
    CVarnex list(12);  // no such list: the library says so
    EXPECT_EQ(list.LoadFile(), 0);
  }
  const std::vector<std::string> messages = capture.Take();
  ASSERT_FALSE(messages.empty());
  EXPECT_NE(messages.front().find("12"), std::string::npos) << messages.front();
}

TEST(WindowsModuleTest, TheVersionResourceDescribesTheModule) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(VARNEX_LIBRARY_PATH, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(VARNEX_LIBRARY_PATH, 0, size, data.data()));
  char* text = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904b0\\FileDescription",
                             reinterpret_cast<void**>(&text), &length));
  EXPECT_STREQ(text, "audit list manager");
}

TEST(WindowsModuleTest, ListsAreInTheSystemDirectoryUnlessTheVariableSaysOtherwise) {
  SetEnvironment(LIST_DIRECTORY_VARIABLE, nullptr);
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, sizeof system);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(ListDirectory(), std::string(system, length));
  TempListDir dir;
  EXPECT_EQ(ListDirectory(), dir.path());
}

bool MutexExists(const char* name) {
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  if (mutex == nullptr) return false;
  CloseHandle(mutex);
  return true;
}

TEST(WindowsModuleTest, TheWritersLockIsAKernelMutexNamedAfterItsList) {
  {
    // In the system directory the name is the list's own.
    SetEnvironment(LIST_DIRECTORY_VARIABLE, nullptr);
    const std::string file = ListFilePathOf(8);
    const bool existed = GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES;
    {
      CVarnex list(8);
      ASSERT_EQ(list.LoadFile(), 1);
      EXPECT_TRUE(MutexExists("SYSLIST_FILE_MUTEX_8"));
    }
    if (!existed) {
      for (const char* prefix :
           {"SYSLIST_FILE_MUTEX_", "SYSLIST_JOURNAL_", "SYSLIST_STATE_", "SYSLIST_INDEX_"}) {
        DeleteFileA(ListObjectPathOf(8, prefix).c_str());
      }
      DeleteFileA(file.c_str());
    }
  }
  // Elsewhere it tells the directory apart: lists in two directories never
  // share a lock.
  TempListDir dir;
  CVarnex list(8);
  ASSERT_EQ(list.LoadFile(), 1);
  auto mutex = OpenListMutex(8);
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(mutex->Lock(500), platform::LockResult::kAcquired);
  DWORD wait = WAIT_FAILED;
  std::thread other([&wait] {
    HANDLE system_list = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "SYSLIST_FILE_MUTEX_8");
    if (system_list == nullptr) return;
    wait = WaitForSingleObject(system_list, 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(system_list);
    CloseHandle(system_list);
  });
  other.join();
  EXPECT_EQ(wait, WAIT_OBJECT_0) << "the two directories' lists share a lock";
  EXPECT_TRUE(mutex->Unlock());
}

}  // namespace
}  // namespace varnex::test
