// The files that the tool reads and writes for an operator (imports,
// exports, backups, restores, staged copies of lists, a follower's state),
// handled alike wherever they are: in a directory that another account may
// write, a name may be a symbolic link, a FIFO or a device put there to
// make the tool block, truncate or disclose.
//
// An input is opened once by name, never through a symbolic link and
// without blocking on a FIFO, checked to be a regular file on that
// descriptor, and then read (or mapped) from it alone. An output is written
// whole under a new name beside its place (created exclusively), with the
// permission bits and, where this process may give them, the owner and
// group of the list it holds, and only then put in place: by a rename that
// replaces a regular file (a name that holds anything else is refused), or,
// where nothing may be replaced, by a link that fails when the name exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnex::tool {

class InputFile {
 public:
  // Throws ToolError: missing, not a regular file, not readable.
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  const std::string& path() const { return m_path; }
  uint64_t size() const { return m_size; }
  // Reads up to `size` bytes from where the last read ended; the count read
  // (0 at the end). Throws ToolError.
  size_t Read(void* buffer, size_t size);
  // What is left of the file. Throws ToolError.
  std::vector<uint8_t> ReadRest();
  // The descriptor (a HANDLE on Windows).
  intptr_t native() const { return m_native; }

 private:
  std::string m_path;
  intptr_t m_native;
  uint64_t m_size = 0;
};

// What a new file takes from an existing one: its permission bits, and its
// owner and group (given only by a process that may: root).
struct FileLook {
  bool known = false;
  uint32_t mode = 0;
  int64_t owner = -1;
  int64_t group = -1;
};
// The look of the file at `path`; not known when it cannot be examined
// (then a new file gets the process's default: 0666 less the umask).
FileLook LookOf(const std::string& path);

class OutputFile {
 public:
  // Begins a new file for `path`. With replace, Commit takes the place of a
  // regular file there; without, Commit fails when the name exists. Throws
  // ToolError (a name that holds a directory, a link or another kind of
  // file; a directory that cannot be written).
  OutputFile(const std::string& path, const FileLook& look, bool replace);
  // Removes the new file unless it was put in place.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, size_t size);
  // Waits until the file is on the disk and puts it in place. Throws
  // ToolError.
  void Commit();

 private:
  std::string m_path;
  std::string m_staged;
  bool m_replace;
  intptr_t m_native;
  bool m_committed = false;
};

// Writes a new file at `path` (never replacing one, never through a symbolic
// link) whole, and waits until it is on the disk. Throws ToolError.
void WriteNewFile(const std::string& path, const std::vector<uint8_t>& bytes,
                  const FileLook& look = {});
// Writes `bytes` in place of the regular file at `path` (or where there is
// none), whole for any reader. Throws ToolError.
void ReplaceFileWith(const std::string& path, const std::string& bytes, const FileLook& look = {});

// A file mapped for reading, followed by at least the padding asked for of
// readable zero bytes. Released with UnmapInput.
struct MappedInput {
  const char* data = nullptr;
  size_t size = 0;    // the file's bytes
  size_t mapped = 0;  // the address space taken, padding included
};
// Maps the input when no other account can change it while it is read (a
// mapped file that another account shortened would end the process): owned
// by this process's user or by root, writable by no one else, open for
// writing nowhere, on a local file system. False otherwise (and for an
// empty file): then read it.
bool MapForReading(const InputFile& file, size_t padding, MappedInput* input);
void UnmapInput(const MappedInput& input);

}  // namespace varnex::tool
