#include "tests/TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

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

bool DieInsideAChange(int32_t list_type) {
  const std::string state_path = ListObjectPathOf(list_type, "SYSLIST_STATE_");
  return WaitChild(ForkChild([&] {
           auto mutex = OpenListMutex(list_type);
           platform::MappedFile state;
           if (!mutex || !platform::IsHeld(mutex->Lock(1000)) ||
               state.Open(state_path.c_str()) != platform::Result::kOk) {
             return 1;
           }
           (void)BeginListChange(&reinterpret_cast<ListStateArea*>(state.Data())->nChangeCounter);
           _exit(0);  // dies holding the lock, the counter odd
         })) == 0;
}

uint64_t ChangeCounterOf(int32_t list_type) {
  const std::string state_path = ListObjectPathOf(list_type, "SYSLIST_STATE_");
  platform::MappedFile state;
  if (state.Open(state_path.c_str(), /*read_only=*/true) != platform::Result::kOk) return ~0ull;
  return LoadChangeCounter(&reinterpret_cast<ListStateArea*>(state.Data())->nChangeCounter);
}

Pipe::Pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

Pipe::~Pipe() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void Pipe::Send(char message) {
  if (write(write_fd_, &message, 1) != 1) std::perror("pipe write");
}

bool Pipe::Receive(char* message, int timeout_ms) {
  struct pollfd pfd = {read_fd_, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) != 1) return false;
  char byte;
  if (read(read_fd_, &byte, 1) != 1) return false;
  if (message != nullptr) *message = byte;
  return true;
}

void Pipe::KeepReadEnd() {
  close(write_fd_);
  write_fd_ = -1;
}

void Pipe::KeepWriteEnd() {
  close(read_fd_);
  read_fd_ = -1;
}

pid_t ForkChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A child never outlives the test that made it, even one that failed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

uid_t UnusedAccount() {
  for (uid_t id = 54321; id < 54400; ++id) {
    if (getpwuid(id) == nullptr && getgrgid(static_cast<gid_t>(id)) == nullptr) return id;
  }
  return 0;
}

pid_t ForkAsOtherAccount(const std::function<int()>& body) {
  const uid_t account = UnusedAccount();
  return ForkChild([&] {
    if (account == 0 || setgroups(0, nullptr) != 0 ||
        setresgid(static_cast<gid_t>(account), static_cast<gid_t>(account),
                  static_cast<gid_t>(account)) != 0 ||
        setresuid(account, account, account) != 0) {
      return 97;
    }
    return body();
  });
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
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
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("open " + path);
  for (size_t i = 0; i < records.size(); ++i) {
    pwrite(fd, &records[i], sizeof records[i], static_cast<off_t>(ListSlotOffset(i)));
  }
  int32_t count = static_cast<int32_t>(records.size());
  pwrite(fd, &count, sizeof count, 0);
  close(fd);
}

StderrCapture::StderrCapture() {
  char pattern[] = "/tmp/varnex-stderr-XXXXXX";
  int fd = mkstemp(pattern);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  file_ = pattern;
  fflush(stderr);
  saved_fd_ = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
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
    unlink(file_.c_str());
  }
  return text_;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace varnex::test
