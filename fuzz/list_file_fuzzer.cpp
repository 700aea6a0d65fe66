// Fuzzes the list store with hostile list files: the input holds a list file
// and a sequence of calls to make on it. Nothing may crash, read or write
// outside the file or the view, or leak; and the verdict without the lock
// (through the lookup index) must equal the locked scan's.
//
// Input: two bytes (little-endian) giving the file's length L (0: no file),
// L bytes of file, then the calls, each an opcode byte and its arguments.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "store/SysListFileEx.h"
#include "varnex/Varnex.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return value;
  }
  std::string Text(size_t max) {
    const size_t length = Byte() % (max + 1);
    std::string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char>(Byte());
    return text;
  }
  std::vector<uint8_t> Bytes(size_t n) {
    const size_t take = n < size_ - pos_ ? n : size_ - pos_;
    std::vector<uint8_t> bytes(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

NEW_AUDIT_LIST_ITEM RecordFrom(Input& in) {
  NEW_AUDIT_LIST_ITEM record;
  std::memset(&record, 0, sizeof record);
  const std::string rule = in.Text(33);
  std::memcpy(record.szRuleNo, rule.data(), rule.size() < 32 ? rule.size() : 32);
  const std::string content = in.Text(130);
  std::memcpy(record.szContent, content.data(), content.size() < 128 ? content.size() : 128);
  record.nContentLen = in.Byte() % 2 ? in.Byte() : in.Word();
  record.cItemType = static_cast<int8_t>(in.Byte());
  record.dwStartTime = in.Byte() % 2 ? 0 : in.Word();
  record.dwEndTime = in.Byte() % 2 ? ~0u : in.Word();
  return record;
}

void RemoveDirectory();

std::string& Directory() {
  // Never destroyed: the exit handler that removes the directory uses it.
  static std::string* dir = [] {
    // On tmpfs, where a flush costs little.
    char pattern[] = "/dev/shm/varnex-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    setenv("VARNEX_SYSTEM_DIR", pattern, 1);
    setenv("VARNEX_DEBUG_OUTPUT", "none", 1);
    std::atexit(RemoveDirectory);
    return new std::string(pattern);
  }();
  return *dir;
}

// Removes the files whose names hold `part` (every file for an empty one).
void RemoveFiles(const char* part) {
  DIR* dir = opendir(Directory().c_str());
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    if (entry->d_name[0] != '.' && std::strstr(entry->d_name, part) != nullptr) {
      unlink((Directory() + "/" + entry->d_name).c_str());
    }
  }
  if (dir != nullptr) closedir(dir);
}

void RemoveDirectory() {
  RemoveFiles("");
  rmdir(Directory().c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Directory() + "/BaseList.sys";
  Input in(data, size);
  const size_t file_size = (in.Byte() | (size_t{in.Byte()} << 8));
  unlink(path.c_str());
  if (file_size > 0) {
    const std::vector<uint8_t> file = in.Bytes(file_size);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()))
      std::abort();
    close(fd);
  }
  CVarnex list(0);
  list.LoadFile();
  for (int calls = 0; calls < 64 && !in.empty(); ++calls) {
    switch (in.Byte() % 14) {
      case 0: {
        NEW_AUDIT_LIST_ITEM record = RecordFrom(in);
        list.AddItem(&record);
        break;
      }
      case 1: {
        NEW_AUDIT_LIST_ITEM record = RecordFrom(in);
        list.AppendItemInfo(&record);
        break;
      }
      case 2:
        list.DeleteItem(in.Text(40).c_str());
        break;
      case 3:
        list.DeleteItem(static_cast<int32_t>(static_cast<int8_t>(in.Byte())));
        break;
      case 4:
        list.CleanOutdateItem();
        break;
      case 5: {
        const std::string text = in.Text(140);
        const uint32_t key = in.Byte() % 2 ? static_cast<uint32_t>(text.size()) : in.Word();
        list.IsMatch(text.c_str(), key);
        // A second holder of the same list compares both ways of answering.
        CSysListFileEx checker;
        if (checker.OpenList(0) == 0) {
          const uint32_t now = in.Byte() % 2 ? 1'800'000'000u : in.Word();
          int fast = -1;
          if (checker.Lookup().MatchFirstLockFreeAt(text.c_str(), key, now, &fast) &&
              fast != checker.Lookup().MatchFirstAt(text.c_str(), key, now)) {
            std::abort();
          }
        }
        break;
      }
      case 6: {
        const std::string text = in.Text(140);
        int32_t type = 0, count = 0;
        AUDIT_RESULT_LIST* head = list.IsMatch(in.Byte() % 4 ? text.c_str() : nullptr,
                                               static_cast<uint32_t>(text.size()), type, count);
        list.FreeList(head, count);
        break;
      }
      case 7: {
        NEW_AUDIT_LIST_ITEM record;
        list.GetItem(static_cast<int32_t>(in.Word()), &record);
        list.GetItem(in.Byte(), &record);
        break;
      }
      case 8:
        list.GetTotalCount();
        break;
      case 9:
        list.ResetFileToEmpty();
        break;
      case 10: {
        std::vector<NEW_AUDIT_LIST_ITEM> records;
        for (int n = in.Byte() % 8; n > 0; --n) records.push_back(RecordFrom(in));
        list.AddItems(records.data(), static_cast<int32_t>(records.size()));
        break;
      }
      case 11:
        list.LoadFile();
        break;
      case 12:
        list.ReleaseFile();
        break;
      default:
        list.IsMatch(nullptr, in.Byte());
        break;
    }
  }
  // Damaged lists are kept beside the list, one copy per load.
  RemoveFiles(".damaged-");
  return 0;
}
