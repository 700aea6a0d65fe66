#include "ToolFiles.h"

#include <cerrno>
#include <cstring>

#include "ToolSupport.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/statfs.h>
#endif
#endif

namespace varnex::tool {
namespace {

// Where the last separator of a path stands (npos: none).
size_t LastSeparator(const std::string& path) {
#if defined(_WIN32)
  return path.find_last_of("/\\");
#else
  return path.rfind('/');
#endif
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = LastSeparator(path);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<uint8_t> InputFile::ReadRest() {
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(std::min<uint64_t>(m_size, uint64_t{1} << 30)));
  uint8_t buffer[1 << 16];
  for (size_t n; (n = Read(buffer, sizeof buffer)) > 0;)
    bytes.insert(bytes.end(), buffer, buffer + n);
  return bytes;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes,
                  const FileLook& look) {
  OutputFile file(path, look, /*replace=*/false);
  file.Write(bytes.data(), bytes.size());
  file.Commit();
}

void ReplaceFileWith(const std::string& path, const std::string& bytes, const FileLook& look) {
  OutputFile file(path, look, /*replace=*/true);
  file.Write(bytes.data(), bytes.size());
  file.Commit();
}

#if defined(_WIN32)

namespace {

std::string ErrorText(DWORD error) {
  return "error " + std::to_string(error);
}

}  // namespace

InputFile::InputFile(const std::string& path) : m_path(path) {
  // A reparse point (a link) is opened as itself, and refused below.
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    throw ToolError(path + (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                                ? std::string(": no such file")
                                : ": cannot be read (" + ErrorText(error) + ")"));
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(file);
    throw ToolError(path + ": not a regular file");
  }
  m_native = reinterpret_cast<intptr_t>(file);
  m_size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
}

InputFile::~InputFile() {
  CloseHandle(reinterpret_cast<HANDLE>(m_native));
}

size_t InputFile::Read(void* buffer, size_t size) {
  DWORD read = 0;
  const DWORD part = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
  if (!ReadFile(reinterpret_cast<HANDLE>(m_native), buffer, part, &read, nullptr)) {
    throw ToolError("cannot read " + m_path + " (" + ErrorText(GetLastError()) + ")");
  }
  return read;
}

FileLook LookOf(const std::string&) {
  return {};  // a new file takes the access rules of its directory
}

OutputFile::OutputFile(const std::string& path, const FileLook&, bool replace)
    : m_path(path), m_replace(replace) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    throw ToolError(path + ": not a regular file; it is left as it is");
  }
  if (attributes != INVALID_FILE_ATTRIBUTES && !replace) {
    throw ToolError(path + ": the file exists (a new file never replaces one)");
  }
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    m_staged = DirectoryOf(path) + "\\." + BaseOf(path) + "." +
               std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    HANDLE file = CreateFileA(m_staged.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      m_native = reinterpret_cast<intptr_t>(file);
      return;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  throw ToolError(path + ": cannot be written beside (" + ErrorText(GetLastError()) + ")");
}

OutputFile::~OutputFile() {
  if (m_committed) return;
  CloseHandle(reinterpret_cast<HANDLE>(m_native));
  DeleteFileA(m_staged.c_str());
}

void OutputFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    const DWORD part = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    if (!WriteFile(reinterpret_cast<HANDLE>(m_native), bytes, part, &written, nullptr) ||
        written == 0) {
      throw ToolError(m_path + ": could not be written (" + ErrorText(GetLastError()) + ")");
    }
    bytes += written;
    size -= written;
  }
}

void OutputFile::Commit() {
  HANDLE file = reinterpret_cast<HANDLE>(m_native);
  const bool flushed = FlushFileBuffers(file) != 0;
  CloseHandle(file);
  m_committed = true;  // closed: the destructor only removes the staged name
  if (!flushed ||
      !MoveFileExA(m_staged.c_str(), m_path.c_str(),
                   MOVEFILE_WRITE_THROUGH | (m_replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
    const DWORD error = GetLastError();
    DeleteFileA(m_staged.c_str());
    throw ToolError(m_path + (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                                  ? std::string(": the file exists (a new file never replaces one)")
                                  : ": could not be put in place (" + ErrorText(error) + ")"));
  }
}

bool MapForReading(const InputFile&, size_t, MappedInput*) {
  return false;  // read instead
}

void UnmapInput(const MappedInput&) {}

#else

InputFile::InputFile(const std::string& path) : m_path(path) {
  // O_NONBLOCK: a FIFO opens at once (and is refused below) instead of
  // waiting for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    throw ToolError(path + (error == ENOENT ? std::string(": no such file")
                            : error == ELOOP
                                ? std::string(": a symbolic link, which is not followed")
                                : ": cannot be read (" + std::string(std::strerror(error)) + ")"));
  }
  struct stat st = {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    throw ToolError(path + ": not a regular file");
  }
  (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  m_native = fd;
  m_size = static_cast<uint64_t>(st.st_size);
}

InputFile::~InputFile() {
  close(static_cast<int>(m_native));
}

size_t InputFile::Read(void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = read(static_cast<int>(m_native), buffer, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw ToolError("cannot read " + m_path + ": " + std::strerror(errno));
  }
}

FileLook LookOf(const std::string& path) {
  struct stat st = {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, static_cast<uint32_t>(st.st_mode & 0777), st.st_uid, st.st_gid};
}

OutputFile::OutputFile(const std::string& path, const FileLook& look, bool replace)
    : m_path(path), m_replace(replace) {
  struct stat st = {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) throw ToolError(path + ": not a regular file; it is left as it is");
    if (!replace) throw ToolError(path + ": the file exists (a new file never replaces one)");
  }
  std::string name = DirectoryOf(path) + "/." + BaseOf(path) + ".XXXXXX";
  // Made exclusively, 0600, never through a link.
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    throw ToolError(path + ": cannot be written beside (" + std::strerror(errno) + ")");
  }
  m_staged = name;
  m_native = fd;
  mode_t mode = 0;
  if (look.known) {
    mode = static_cast<mode_t>(look.mode & 0666);
    if (geteuid() == 0)
      (void)fchown(fd, static_cast<uid_t>(look.owner), static_cast<gid_t>(look.group));
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  (void)fchmod(fd, mode);
}

OutputFile::~OutputFile() {
  if (m_committed) return;
  close(static_cast<int>(m_native));
  unlink(m_staged.c_str());
}

void OutputFile::Write(const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(static_cast<int>(m_native), bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError(m_path + ": could not be written (" + std::strerror(errno) + ")");
    bytes += n;
    size -= static_cast<size_t>(n);
  }
}

void OutputFile::Commit() {
  const int fd = static_cast<int>(m_native);
  const bool synced = fsync(fd) == 0;
  const int sync_error = errno;
  close(fd);
  m_committed = true;  // closed: only the staged name is left to remove
  auto fail = [&](const std::string& why) {
    unlink(m_staged.c_str());
    throw ToolError(m_path + why);
  };
  if (!synced) fail(std::string(": could not be written (") + std::strerror(sync_error) + ")");
  if (m_replace) {
    if (rename(m_staged.c_str(), m_path.c_str()) != 0) {
      fail(std::string(": could not be put in place (") + std::strerror(errno) + ")");
    }
  } else {
    // A link fails when the name exists, whatever it is.
    if (link(m_staged.c_str(), m_path.c_str()) != 0) {
      fail(errno == EEXIST
               ? std::string(": the file exists (a new file never replaces one)")
               : std::string(": could not be put in place (") + std::strerror(errno) + ")");
    }
    unlink(m_staged.c_str());
  }
  // The name, on the disk too.
  const int dir = open(DirectoryOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
}

namespace {

// File systems whose files change only through this machine's kernel (of a
// network or user-space file system, another party may shorten a file).
bool IsLocalFileSystem(int fd) {
#if defined(__linux__)
  struct statfs fs = {};
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case TMPFS_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
#else
  (void)fd;
  return false;
#endif
}

// No process holds the file open for writing (one that opened it while it
// could would keep the right to shorten it): a read lease is granted only
// then. Given back at once; afterwards only the owner or root may open it
// for writing.
bool NoOneHoldsItForWriting(int fd) {
#if defined(__linux__)
  if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return false;
  (void)fcntl(fd, F_SETLEASE, F_UNLCK);
  return true;
#else
  (void)fd;
  return false;
#endif
}

}  // namespace

bool MapForReading(const InputFile& file, size_t padding, MappedInput* input) {
  const int fd = static_cast<int>(file.native());
  struct stat st = {};
  const bool trusted = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                       (st.st_uid == geteuid() || st.st_uid == 0) &&
                       (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && IsLocalFileSystem(fd) &&
                       NoOneHoldsItForWriting(fd);
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const auto size = static_cast<size_t>(st.st_size);
  if (!trusted || size > SIZE_MAX / 4) return false;
  // The file's pages, pages of zeros for the padding (the bytes of the
  // file's last page past its end read as zeros too), and a page that may
  // not be read, so that reading past the padding fails at once: reserved
  // at once, then mapped over.
  const size_t file_span = (size + page - 1) / page * page;
  const size_t padding_span = (padding + page - 1) / page * page;
  const size_t mapped = file_span + padding_span + page;
  auto* base = static_cast<char*>(
      mmap(nullptr, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  if (base == MAP_FAILED) return false;
  int flags = MAP_PRIVATE | MAP_FIXED;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;  // the pages the system holds, mapped in one call
#endif
  const bool ok = mmap(base + file_span, padding_span, PROT_READ,
                       MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS, -1, 0) != MAP_FAILED &&
                  mmap(base, size, PROT_READ, flags, fd, 0) != MAP_FAILED;
  if (!ok) {
    munmap(base, mapped);
    return false;
  }
  *input = {static_cast<const char*>(base), size, mapped};
  return true;
}

void UnmapInput(const MappedInput& input) {
  if (input.data != nullptr) munmap(const_cast<char*>(input.data), input.mapped);
}

#endif

}  // namespace varnex::tool
