#include "tests/TestSupport.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Platform.h"
#include "store/ListFormat.h"
#include "store/ListPaths.h"
#include "store/ListState.h"
#include "store/SysListFileEx.h"

namespace varnex::test {

std::unique_ptr<platform::NamedMutex> OpenListMutex(int32_t list_type) {
  std::string reason;
  auto mutex = CSysListFileEx::OpenMutexOf(list_type, &reason);
  if (!mutex) std::fprintf(stderr, "the mutex of list %d: %s\n", list_type, reason.c_str());
  return mutex;
}

// Takes the lock of list args[0], makes its change counter odd and exits
// holding both.
VARNEX_TEST_ROLE(DieInsideAChange) {
  const int32_t list_type = std::atoi(args.at(0).c_str());
  const std::string state_path = ListObjectPathOf(list_type, "SYSLIST_STATE_");
  auto mutex = OpenListMutex(list_type);
  platform::MappedFile state;
  if (!mutex || !platform::IsHeld(mutex->Lock(1000)) ||
      state.Open(state_path.c_str()) != platform::Result::kOk) {
    return 1;
  }
  (void)BeginListChange(&reinterpret_cast<ListStateArea*>(state.Data())->nChangeCounter);
  std::fflush(nullptr);
  std::_Exit(0);  // dies holding the lock, the counter odd
}

bool DieInsideAChange(int32_t list_type) {
  ChildProcess child = SpawnRole("DieInsideAChange", {std::to_string(list_type)});
  return child.Wait() == 0;
}

platform::FileOwnership OwnedByThisProcess(uint32_t mode) {
  return {platform::EffectiveUser(), platform::EffectiveGroup(), mode};
}

std::unique_ptr<platform::NamedMutex> OpenNamedMutex(const std::string& name) {
  platform::Result result = platform::Result::kFailed;
  std::string reason;
  auto mutex = platform::NamedMutex::Open(ListDirectory() + "/" + name, OwnedByThisProcess(), true,
                                          &result, &reason);
  if (result != platform::Result::kOk) {
    ADD_FAILURE() << "the mutex " << name << ": " << reason;
  }
  return mutex;
}

uint64_t ChangeCounterOf(int32_t list_type) {
  const std::string state_path = ListObjectPathOf(list_type, "SYSLIST_STATE_");
  platform::MappedFile state;
  if (state.Open(state_path.c_str(), /*read_only=*/true) != platform::Result::kOk) return ~0ull;
  return LoadChangeCounter(&reinterpret_cast<ListStateArea*>(state.Data())->nChangeCounter);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

NEW_AUDIT_LIST_ITEM MakeRecord(const std::string& rule_no, uint32_t key, const std::string& content,
                               int8_t type) {
  NEW_AUDIT_LIST_ITEM item;
  std::memset(&item, 0, sizeof item);
  std::strncpy(item.szContent, content.c_str(), sizeof item.szContent - 1);
  std::strncpy(item.szRuleNo, rule_no.c_str(), sizeof item.szRuleNo - 1);
  item.dwStartTime = 0;
  item.dwEndTime = 0xFFFFFFFFu;
  item.nContentLen = key;
  item.cItemType = type;
  return item;
}

void WriteRecordsRaw(const std::string& path, const std::vector<NEW_AUDIT_LIST_ITEM>& records) {
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file) throw std::runtime_error("open " + path);
  for (size_t i = 0; i < records.size(); ++i) {
    file.seekp(static_cast<std::streamoff>(ListSlotOffset(i)));
    file.write(reinterpret_cast<const char*>(&records[i]), sizeof records[i]);
  }
  const int32_t count = static_cast<int32_t>(records.size());
  file.seekp(0);
  file.write(reinterpret_cast<const char*>(&count), sizeof count);
}

bool WaitForFile(const std::string& path, int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  while (!std::filesystem::exists(path)) {
    if (NowMs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void TouchFile(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
}

#if defined(_WIN32)
#define dup _dup
#define dup2 _dup2
#define close _close
#define STDERR_FILENO 2
#endif

StderrCapture::StderrCapture() {
  static std::atomic<uint32_t> s_counter{0};
  file_ = (std::filesystem::temp_directory_path() /
           ("varnex-stderr-" + std::to_string(NowMs()) + "-" + std::to_string(s_counter++)))
              .string();
  FILE* out = std::fopen(file_.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("no file for standard error");
  fflush(stderr);
  saved_fd_ = dup(STDERR_FILENO);
  dup2(fileno(out), STDERR_FILENO);
  std::fclose(out);
}

StderrCapture::~StderrCapture() {
  Finish();
}

std::string StderrCapture::Finish() {
  if (!finished_) {
    finished_ = true;
    fflush(stderr);
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
    auto bytes = ReadFileBytes(file_);
    text_.assign(bytes.begin(), bytes.end());
    std::remove(file_.c_str());
  }
  return text_;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace varnex::test
