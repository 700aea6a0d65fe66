// The varnex tool, run as operators run it, against a private directory.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/ListFormat.h"
#include "store/ListPaths.h"
#include "tests/TestSupport.h"

namespace varnex::test {
namespace {

struct ToolRun {
  int status;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& path) {
  auto bytes = ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class ToolTest : public ::testing::Test {
 protected:
  // Runs the tool with --dir set to this test's directory; as another
  // account, a copy of the tool and the library in a directory that any
  // account may enter (the build may lie in one that it may not).
  // With stop_after_ms, a command that runs until it is told to stop gets
  // SIGTERM then.
  ToolRun Tool(std::vector<std::string> args, uid_t as_user = 0, const std::string& input = "",
               int stop_after_ms = 0) {
    std::string tool = VARNEX_TOOL_PATH;
    std::string library_dir;
    if (as_user != 0) {
      library_dir = dir_.path() + "-bin";
      std::filesystem::create_directories(library_dir);
      chmod(library_dir.c_str(), 0755);
      tool = library_dir + "/varnex";
      const auto copy = std::filesystem::copy_options::overwrite_existing;
      std::filesystem::copy_file(VARNEX_TOOL_PATH, tool, copy);
      std::filesystem::copy_file(VARNEX_LIBRARY_PATH, library_dir + "/libvarnex.so.1", copy);
      chmod(tool.c_str(), 0755);
      chmod((library_dir + "/libvarnex.so.1").c_str(), 0644);
    }
    args.insert(args.begin(), {tool, "--dir", dir_.path()});
    const std::string out = dir_.path() + ".out", err = dir_.path() + ".err";
    pid_t child = ForkChild([&] {
      int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out_fd, STDOUT_FILENO);
      dup2(err_fd, STDERR_FILENO);
      if (!input.empty()) dup2(open(input.c_str(), O_RDONLY), STDIN_FILENO);
      if (as_user != 0 &&
          (setgroups(0, nullptr) != 0 || setgid(as_user) != 0 || setuid(as_user) != 0)) {
        return 90;
      }
      if (!library_dir.empty()) SetEnvironment("LD_LIBRARY_PATH", library_dir.c_str());
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      return 91;
    });
    if (stop_after_ms > 0) {
      usleep(static_cast<useconds_t>(stop_after_ms) * 1000);
      kill(child, SIGTERM);
    }
    ToolRun run{WaitChild(child), ReadText(out), ReadText(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    if (!library_dir.empty()) std::filesystem::remove_all(library_dir);
    return run;
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_.path() + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  TempListDir dir_;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(ToolTest, AddShowMatchDeleteExportImportRoundTrip) {
  EXPECT_EQ(
      Tool({"add", "base", "--rule", "r1", "--content", "www.example.com", "--type", "2"}).status,
      0);
  EXPECT_EQ(Tool({"add", "0", "--rule", "r2", "--content", "*.example.org", "--key", "15", "--end",
                  "+7d"})
                .status,
            0);
  EXPECT_EQ(Tool({"append", "base", "--rule", "r3", "--content", "tab\there, at the end", "--start",
                  "2026-01-02T03:04:05Z"})
                .status,
            0);
  const ToolRun show = Tool({"show", "base"});
  EXPECT_EQ(show.status, 0);
  EXPECT_TRUE(Contains(show.out, "www.example.com"));
  EXPECT_TRUE(Contains(show.out, "tab\\x09here"));
  EXPECT_TRUE(Contains(show.out, "2026-01-02 03:04:05"));

  EXPECT_EQ(Tool({"match", "base", "WWW.EXAMPLE.COM"}).status, 0);
  EXPECT_EQ(Tool({"match", "base", "ftp.example.org"}).status, 0) << "the pattern";
  EXPECT_EQ(Tool({"match", "base", "nothing.here"}).status, 1);
  const ToolRun all = Tool({"--json", "match", "base", "www.example.com", "--all"});
  EXPECT_EQ(all.status, 0);
  EXPECT_TRUE(Contains(all.out, "\"count\": 1"));

  const std::string exported = dir_.path() + "/export.jsonl";
  ASSERT_EQ(Tool({"export", "base", exported}).status, 0);
  const std::string first_export = ReadText(exported);
  EXPECT_EQ(std::count(first_export.begin(), first_export.end(), '\n'), 3);

  EXPECT_EQ(Tool({"delete", "base", "--rule", "r1"}).status, 0);
  EXPECT_EQ(Tool({"match", "base", "www.example.com"}).status, 1);
  EXPECT_EQ(Tool({"reset", "base", "--yes"}).status, 0);
  const ToolRun appended = Tool({"import", "base", exported, "--append"});
  EXPECT_EQ(appended.status, 0) << appended.err;
  const std::string again = dir_.path() + "/again.jsonl";
  ASSERT_EQ(Tool({"export", "base", again}).status, 0);
  EXPECT_EQ(ReadText(again), first_export) << "appended, the records come back as they were";

  // Added in key order, the same records come back sorted by key.
  EXPECT_EQ(Tool({"reset", "base", "--yes"}).status, 0);
  const ToolRun imported = Tool({"import", "base", exported});
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_TRUE(Contains(imported.out, "added 3, replaced 0, refused 0"));
  ASSERT_EQ(Tool({"export", "base", again}).status, 0);
  auto lines = [](const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    std::sort(result.begin(), result.end());
    return result;
  };
  EXPECT_EQ(lines(ReadText(again)), lines(first_export));
  EXPECT_EQ(Tool({"check", "base"}).status, 0) << "in key order again";
}

TEST_F(ToolTest, ImportRefusesBadLinesAndKeepsTheRest) {
  ASSERT_EQ(Tool({"add", "exact", "--rule", "old", "--content", "kept"}).status, 0);
  const std::string file = Write("in.jsonl",
                                 "{\"rule\":\"a\",\"content\":\"alpha\"}\n"
                                 "not json\n"
                                 "{\"rule\":\"b\",\"content\":\"" +
                                     std::string(128, 'x') +
                                     "\"}\n"
                                     "\n"
                                     "{\"content\":\"no rule\"}\n"
                                     "{\"rule\":\"OLD\",\"content\":\"kept\",\"type\":3}\n"
                                     "{\"rule\":\"p\",\"content\":\"a*\"}\n");
  const ToolRun run = Tool({"import", "exact", file});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "added 1, replaced 1, refused 4")) << run.out;
  EXPECT_TRUE(Contains(run.err, "in.jsonl:2: refused: not valid JSON")) << run.err;
  EXPECT_TRUE(Contains(run.err, "in.jsonl:3: refused: content of 128 bytes")) << run.err;
  EXPECT_TRUE(Contains(run.err, "in.jsonl:5: refused: no rule")) << run.err;
  EXPECT_TRUE(Contains(run.err, "in.jsonl:7: refused: content 'a*' is a pattern")) << run.err;
  const ToolRun show = Tool({"show", "exact"});
  EXPECT_TRUE(Contains(show.out, "OLD"));
  EXPECT_TRUE(Contains(show.out, "alpha"));
}

// A file of more than a megabyte is read in two halves at once: the records
// keep the order of the lines (a later line replaces an earlier one of the
// same rule number) and refused lines keep their numbers, in both halves.
TEST_F(ToolTest, LargeImportKeepsTheOrderOfItsLines) {
  std::string text;
  constexpr int kLines = 30000;
  for (int i = 1; i <= kLines; ++i) {
    if (i == 10 || i == kLines - 10) {
      text += "not json\n";
    } else if (i == kLines) {
      text += "{\"rule\":\"r1\",\"content\":\"last\"}\n";  // replaces line 1
    } else {
      text += "{\"rule\":\"r" + std::to_string(i) + "\",\"content\":\"text" + std::to_string(i) +
              "\"}\n";
    }
  }
  ASSERT_GT(text.size(), size_t{1} << 20);
  const ToolRun run = Tool({"import", "base", Write("large.jsonl", text)});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "added " + std::to_string(kLines - 3) + ", replaced 1, refused 2"))
      << run.out;
  EXPECT_TRUE(Contains(run.err, "large.jsonl:10: refused")) << run.err;
  EXPECT_TRUE(Contains(run.err, "large.jsonl:" + std::to_string(kLines - 10) + ": refused"))
      << run.err;
  EXPECT_EQ(Tool({"match", "base", "last"}).status, 0);
  EXPECT_EQ(Tool({"match", "base", "text1"}).status, 1) << "the later line replaced it";
  EXPECT_EQ(Tool({"match", "base", "text" + std::to_string(kLines - 1)}).status, 0);
  // Records of one key stand in the order of their lines.
  std::istringstream exported(Tool({"export", "base"}).out);
  std::map<int, int> last_line_of_key;
  size_t records = 0;
  for (std::string line; std::getline(exported, line); ++records) {
    const size_t key_at = line.find("\"key\":");
    const size_t rule_at = line.find("\"rule\":\"r");
    ASSERT_TRUE(key_at != std::string::npos && rule_at != std::string::npos) << line;
    const int key = std::stoi(line.substr(key_at + 6));
    const int number = std::stoi(line.substr(rule_at + 9));
    const int at = number == 1 ? kLines : number;  // r1 stands where its later line is
    EXPECT_GT(at, last_line_of_key[key]) << line;
    last_line_of_key[key] = at;
  }
  EXPECT_EQ(records, size_t{kLines - 3});
}

// A file that no other account may change is mapped, any other read: either
// way every line counts, the last one too where the file ends at a page's end
// (the parser reads past the end of each line), with its newline or without.
TEST_F(ToolTest, ImportReadsFilesOfEveryLengthMappedOrRead) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  struct Case {
    size_t size;
    mode_t mode;  // group or others may write: read, not mapped
    bool newline;
  };
  const Case cases[] = {{page - 1, 0644, true}, {page, 0644, true},  {page + 1, 0600, true},
                        {2 * page, 0644, true}, {page, 0644, false}, {page, 0664, true},
                        {page, 0666, false}};
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", mode " + std::to_string(c.mode));
    const std::string prefix = "c" + std::to_string(number++);
    std::string text;
    int lines = 0;
    while (text.size() + 160 < c.size) {
      const std::string n = std::to_string(lines++);
      text += "{\"rule\":\"" + prefix + "r" + n + "\",\"content\":\"" + prefix +
              std::string(40, 'a') + n + "\"}\n";
    }
    // The last line fills the file to its size.
    const std::string head = "{\"rule\":\"" + prefix + "last\",\"content\":\"" + prefix;
    const std::string tail = c.newline ? "\"}\n" : "\"}";
    const std::string last = std::string(c.size - text.size() - head.size() - tail.size(), 'z');
    text += head + last + tail;
    ASSERT_EQ(text.size(), c.size);
    const std::string file = Write(prefix + ".jsonl", text);
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    const ToolRun run = Tool({"import", "base", file});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "added " + std::to_string(lines + 1) + ",")) << run.out;
    EXPECT_EQ(Tool({"match", "base", prefix + last}).status, 0);
  }
}

// Another account that opened the file for writing while it could, and
// shortens and rewrites it again and again, never ends an import by SIGBUS:
// a file open for writing anywhere is read, not mapped.
TEST_F(ToolTest, AFileAnotherAccountHoldsOpenForWritingIsReadNotMapped) {
  if (UnusedAccount() == 0) GTEST_SKIP() << "no unused account";
  std::string text;
  for (int i = 0; i < 30000; ++i) {
    text +=
        "{\"rule\":\"r" + std::to_string(i) + "\",\"content\":\"held" + std::to_string(i) + "\"}\n";
  }
  const std::string folder = dir_.path() + "-in";  // one the other account may enter
  std::filesystem::create_directories(folder);
  chmod(folder.c_str(), 0755);
  const std::string file = folder + "/held.jsonl";
  std::ofstream(file) << text;
  chmod(file.c_str(), 0666);
  Pipe opened;
  const pid_t holder = ForkAsOtherAccount([&] {
    const int fd = open(file.c_str(), O_RDWR);
    if (fd < 0) return 1;
    opened.Send();
    for (;;) {
      if (ftruncate(fd, 0) != 0 ||
          pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return 2;
      }
    }
  });
  ASSERT_TRUE(opened.Receive());
  chmod(file.c_str(), 0644);  // now only its owner may open it for writing
  ToolRun run{};
  for (int attempt = 0; attempt < 5; ++attempt) {
    run = Tool({"import", "base", file});
    if (run.status >= 128) break;
  }
  kill(holder, SIGKILL);
  WaitChild(holder);
  std::filesystem::remove_all(folder);
  EXPECT_LT(run.status, 128) << "ended by signal " << run.status - 128;
}

// In a double-byte locale the explanation is the verdict's own: the byte
// after a lead byte is no letter to fold, for either.
TEST_F(ToolTest, MatchExplainAgreesWithTheVerdictInADoubleByteLocale) {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  const bool gbk = std::setlocale(LC_CTYPE, "zh_CN.GBK") != nullptr;
  std::setlocale(LC_CTYPE, saved.c_str());
  if (!gbk) GTEST_SKIP() << "no zh_CN.GBK locale";
  SetEnvironment("LC_ALL", "zh_CN.GBK");
  ASSERT_EQ(Tool({"add", "base", "--rule", "r1", "--content",
                  "\x81"
                  "A"})
                .status,
            0);
  const struct {
    std::vector<std::string> command;
    int status;
    const char* said;
  } cases[] = {
      {{"match", "base",
        "\x81"
        "a"},
       1,
       "no match"},
      {{"match", "base",
        "\x81"
        "a",
        "--explain"},
       1,
       "no match, decided by 0 records"},
      {{"match", "base",
        "\x81"
        "A",
        "--explain"},
       0,
       "match, decided by 1 record"},
  };
  for (const auto& c : cases) {
    const ToolRun run = Tool(c.command);
    EXPECT_EQ(run.status, c.status) << c.command.size() << ": " << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, c.said)) << run.out;
    EXPECT_EQ(run.err, "") << "no word of a list that changed";
  }
  SetEnvironment("LC_ALL", nullptr);
}

// A list whose header is damaged is told as it is: a reader hears that it
// reads as empty, a change stores its record and names the file set aside,
// and salvage brings the whole records of that file back.
TEST_F(ToolTest, ADamagedListIsSetAsideReportedAndSalvaged) {
  for (const char* rule : {"r1", "r2", "r3"}) {
    ASSERT_EQ(
        Tool({"add", "base", "--rule", rule, "--content", std::string(rule) + ".example"}).status,
        0);
  }
  const std::string path = dir_.FilePath(0);
  auto bytes = ReadFileBytes(path);
  bytes[8] = 7;  // the format tag
  // A slot that holds no whole record: a rule number without its end.
  std::memset(bytes.data() + 24 + 241 * 5 + 140, 'x', 32);
  WriteFileBytes(path, bytes);
  ToolRun run = Tool({"show", "base"});
  EXPECT_TRUE(Contains(run.err, "reads as empty")) << run.err;
  run = Tool({"add", "base", "--rule", "new", "--content", "new.example"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, ".damaged-")) << run.err;
  std::string aside;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (Contains(entry.path().string(), ".damaged-")) aside = entry.path().string();
  }
  ASSERT_FALSE(aside.empty());
  EXPECT_TRUE(Contains(run.err, aside)) << "the message names the file set aside: " << run.err;
  run = Tool({"salvage", "base", aside});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "salvaged 3 records")) << run.out;
  EXPECT_TRUE(Contains(run.out, "1 slots held no whole record")) << run.out;
  for (const char* text : {"r1.example", "r3.example", "new.example"}) {
    EXPECT_EQ(Tool({"match", "base", text}).status, 0) << text;
  }
  EXPECT_EQ(Tool({"salvage", "base", dir_.path() + "/missing"}).status, 2);
}

// A change that a dead writer left unfinished is told as that, not as
// damage, and the next change completes it.
TEST_F(ToolTest, CheckTellsAnUnfinishedChangeFromDamage) {
  ASSERT_EQ(Tool({"add", "base", "--rule", "a", "--content", "a.example"}).status, 0);
  // Half of a shift: a record written past the count, as an insert that
  // was killed leaves it, with the change counter odd.
  auto bytes = ReadFileBytes(dir_.FilePath(0));
  std::memcpy(bytes.data() + 24 + 241, bytes.data() + 24, 241);
  WriteFileBytes(dir_.FilePath(0), bytes);
  ASSERT_TRUE(DieInsideAChange(0));
  ToolRun run = Tool({"check", "base"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "left unfinished by a writer that died")) << run.out;
  EXPECT_FALSE(Contains(run.out, "is not empty")) << run.out;
  ASSERT_EQ(Tool({"add", "base", "--rule", "b", "--content", "b.example"}).status, 0);
  run = Tool({"check", "base"});
  EXPECT_FALSE(Contains(run.out, "unfinished")) << run.out;
}

TEST_F(ToolTest, IpRangesInDottedForm) {
  EXPECT_EQ(Tool({"ip", "add-manage", "10.0.0.0/8", "--value", "7"}).status, 0);
  EXPECT_EQ(Tool({"ip", "add-white", "192.168.1.10-192.168.1.20"}).status, 0);
  const ToolRun show = Tool({"ip", "show"});
  EXPECT_TRUE(Contains(show.out, "10.0.0.0"));
  EXPECT_TRUE(Contains(show.out, "10.255.255.255"));
  EXPECT_TRUE(Contains(show.out, "192.168.1.20"));
  EXPECT_TRUE(Contains(Tool({"ip", "match", "10.1.2.3"}).out, "managed yes, white no"));
  EXPECT_TRUE(Contains(Tool({"ip", "match", "192.168.1.15"}).out, "managed no, white yes"));
  EXPECT_EQ(Tool({"ip", "reset-white"}).status, 2) << "needs --yes";
  EXPECT_EQ(Tool({"ip", "reset-white", "--yes"}).status, 0);
  EXPECT_TRUE(Contains(Tool({"ip", "match", "192.168.1.15"}).out, "white no"));
  for (const char* bad : {"10.0.0", "10.0.0.256", "10.0.0.9-10.0.0.1", "10.0.0.0/33"}) {
    const ToolRun run = Tool({"ip", "add-white", bad});
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_EQ(run.err.rfind("varnex: ", 0), 0u) << run.err;
  }
}

TEST_F(ToolTest, CheckReportsDamagedFiles) {
  ASSERT_EQ(Tool({"add", "person", "--rule", "a", "--content", "abc"}).status, 0);
  const ToolRun refused = Tool({"append", "person", "--rule", "b", "--content", "x"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_TRUE(Contains(refused.err, "would break the key order")) << refused.err;
  // A list put out of order behind the tool's back.
  WriteRecordsRaw(dir_.path() + "/" + ListFileName(3),
                  {MakeRecord("a", 3, "abc"), MakeRecord("b", 1, "x")});
  EXPECT_EQ(Tool({"check", "base"}).status, 0);
  ToolRun run = Tool({"check", "person"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "out of key order"));
  EXPECT_EQ(Tool({"match", "person", "x"}).status, 1) << "a lookup misses the record out of order";
  EXPECT_EQ(Tool({"sort", "person"}).status, 0);
  EXPECT_EQ(Tool({"check", "person"}).status, 0);
  EXPECT_EQ(Tool({"match", "person", "x"}).status, 0);
  EXPECT_EQ(Tool({"sort", "person"}).status, 1) << "in order already";

  // Ranges of the IP list are checked; a file out of sight is no "ok".
  ASSERT_EQ(Tool({"ip", "add-white", "10.0.0.1"}).status, 0);
  WriteRecordsRaw(dir_.FilePath(LIST_TYPE_IP), {MakeIpRecord({9, 1, 0}, IP_LIST_WHITE)});
  run = Tool({"check", "ip"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "range 0 ends (0.0.0.1) before it begins (0.0.0.9)")) << run.out;
  if (const uid_t other = UnusedAccount(); other != 0) {
    run = Tool({"check", "base"}, other);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "cannot be read")) << run.out << run.err;
  }

  ASSERT_EQ(Tool({"add", "asfilter", "--rule", "a", "--content", "abc"}).status, 0);
  auto bytes = ReadFileBytes(dir_.FilePath(5));
  bytes.resize(24124, 0);
  bytes[8] = 51;             // format tag
  bytes[24 + 241 * 50] = 1;  // a byte after the records
  bytes.push_back(7);        // a leftover byte
  WriteFileBytes(dir_.FilePath(5), bytes);
  run = Tool({"check", "asfilter"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "format tag 51"));
  EXPECT_TRUE(Contains(run.out, "slot 50 after the records is not empty"));
  EXPECT_TRUE(Contains(run.out, "1 bytes after the last whole record slot"));
}

TEST_F(ToolTest, ErrorsAreOneLineWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"show", "nosuch"}, "unknown list 'nosuch'"},
      {{"add", "base", "--rule", "r", "--content", std::string(128, 'a')}, "content of 128 bytes"},
      {{"add", "base", "--rule", std::string(32, 'r'), "--content", "a"},
       "rule number of 32 bytes"},
      {{"add", "base", "--rule", "r", "--content", "a", "--end", "tomorrow"},
       "bad time 'tomorrow'"},
      {{"reset", "base"}, "add --yes"},
      {{"delete", "base"}, "either --rule or --type"},
      {{"frobnicate"}, "see varnex --help"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.err.rfind("varnex: ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  rmdir(dir_.path().c_str());
  const ToolRun missing = Tool({"show", "base"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_TRUE(Contains(missing.err, "does not exist")) << missing.err;
  mkdir(dir_.path().c_str(), 0700);
}

// Each command's exit status says what happened: 0 done or matched, 1
// nothing matched or nothing to do, 2 refused or failed (with the reason);
// warnings go to standard error beside a stored record.
TEST_F(ToolTest, StatusesRefusalsAndWarningsOfTheCommands) {
  ASSERT_EQ(Tool({"add", "base", "--rule", "kept", "--content", "abc"}).status, 0);
  ASSERT_EQ(Tool({"ip", "add-white", "10.0.0.0/8"}).status, 0);
  const std::string gbk =
      "ab\xc1\xa2"
      "cd";  // GBK bytes that are no UTF-8
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;  // in standard output or error
  } cases[] = {
      {{"--version"}, 0, "varnex 1."},
      {{"add", "ip", "--rule", "r", "--content", "abc"}, 2, "holds IP ranges, not texts"},
      {{"match", "base", "ABC", "--explain"}, 0, "match, decided by 1 record of key 3"},
      {{"match", "base", "abd", "--explain"}, 1, "no match, decided by 0 records"},
      {{"delete", "base", "--rule", "nosuch"}, 1, "deleted 0 records"},
      {{"delete", "base", "--rule", std::string(30, 'r')}, 2, "compares the first 29"},
      {{"add", "base", "--rule", std::string(30, 'r'), "--content", "a"},
       2,
       "can never be deleted by rule number"},
      {{"add", "base", "--rule", "r", "--content", ""}, 2, "the content is empty"},
      {{"add", "base", "--rule", "r", "--content", "a", "--start", "+2d", "--end", "+1d"},
       2,
       "after it ends"},
      {{"add", "base", "--rule", "r", "--content", "a", "--end", "2026-02-31"}, 2, "no such date"},
      {{"add", "base", "--rule", "r", "--content", "a", "--end", "2026-02-28T10:30Z"},
       0,
       "warning: the rule ended at 2026-02-28 10:30:00"},
      {{"add", "base", "--rule", "r2", "--content", "abc", "--key", "7"},
       0,
       "warning: the key 7 differs"},
      {{"import", "base", "/"}, 2, "not a regular file"},
      {{"import", "base", dir_.path() + "/missing.jsonl"}, 2, "no such file"},
      {{"ip", "match", "010.0.0.1"}, 2, "bad address '010.0.0.1'"},
      {{"ip", "match", "10.1.2.3"}, 0, "white yes"},
      {{"add", "base", "--rule", "g", "--content", gbk}, 0, "stored rule g"},
      {{"export", "base"}, 0, "\"content_hex\":\"6162c1a26364\""},
      {{"show", "base", "--json"}, 0, "6162c1a26364"},
      // The system's own reasons, not guesses.
      {{"export", "trace"}, 2, "has no file yet (" + dir_.path() + "/TraceList.sys: No such file"},
      {{"restore", "base", Write("short.sys", "hello")},
       2,
       "was not restored: the file has 5 bytes"},
      {{"restore", "base", dir_.path() + "/missing.sys"}, 2, "missing.sys: no such file"},
  };
  for (const Case& c : cases) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.message << "\n" << run.out << run.err;
    EXPECT_TRUE(Contains(run.out + run.err, c.message)) << run.out << run.err;
  }
  // With no range covering it, an address matches nothing.
  ASSERT_EQ(Tool({"ip", "reset-white", "--yes"}).status, 0);
  ASSERT_EQ(Tool({"ip", "add-manage", "192.168.0.0/16"}).status, 0);
  EXPECT_EQ(Tool({"ip", "match", "10.1.2.3"}).status, 1);
  // An import refuses, line by line, what add refuses.
  const std::string file =
      Write("refused.jsonl", "{\"rule\":\"" + std::string(30, 'x') +
                                 "\",\"content\":\"a\"}\n"
                                 "{\"rule\":\"w\",\"content\":\"a\",\"start\":9,\"end\":8}\n"
                                 "{\"rule\":\"ok\",\"content\":\"a\"}\n");
  const ToolRun import = Tool({"import", "base", file});
  EXPECT_EQ(import.status, 1) << "some lines were refused";
  EXPECT_TRUE(Contains(import.err, ":1: refused: rule number of 30 bytes")) << import.err;
  EXPECT_TRUE(Contains(import.err, ":2: refused: the window starts")) << import.err;
  EXPECT_TRUE(Contains(import.out, "added 1")) << import.out;
}

TEST_F(ToolTest, ShowFiltersStandardStreamsAndTheIpList) {
  const std::string lines = Write("in.jsonl",
                                  "{\"rule\":\"A1\",\"content\":\"abc\",\"type\":1}\n"
                                  "{\"rule\":\"a2\",\"content\":\"abcd\",\"type\":2}\n"
                                  "{\"rule\":\"a3\",\"content\":\"xyz\",\"type\":2}\n");
  EXPECT_EQ(Tool({"import", "base", "-"}, 0, lines).status, 0);
  const ToolRun all = Tool({"export", "base", "-"});
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3) << all.out;
  struct Case {
    std::vector<std::string> filter;
    int status;
    std::vector<const char*> rules;
  } cases[] = {
      {{"--rule", "a1"}, 0, {"A1"}},     {{"--type", "2"}, 0, {"a2", "a3"}},
      {{"--key", "3"}, 0, {"A1", "a3"}}, {{"--key", "3", "--type", "2"}, 0, {"a3"}},
      {{"--rule", "none"}, 1, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"show", "base", "--json"};
    args.insert(args.end(), c.filter.begin(), c.filter.end());
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.status, c.status) << c.filter[0];
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '{'), static_cast<long>(c.rules.size()))
        << run.out;
    for (const char* rule : c.rules) {
      EXPECT_TRUE(Contains(run.out, std::string("\"rule\": \"") + rule + "\"")) << run.out;
    }
  }

  // The IP list: a range stored twice is reported, deletion by range and
  // kind, and a purge that would empty it asks first.
  EXPECT_EQ(Tool({"ip", "add-white", "10.0.0.0/24"}).status, 0);
  EXPECT_EQ(Tool({"ip", "add-manage", "10.0.0.0/24", "--value", "3"}).status, 0);
  const ToolRun twice = Tool({"ip", "add-white", "10.0.0.0-10.0.0.255"});
  EXPECT_EQ(twice.status, 1);
  EXPECT_TRUE(Contains(twice.err, "is there already")) << twice.err;
  EXPECT_EQ(Tool({"ip", "delete", "10.0.0.0/24", "--manage"}).status, 0);
  EXPECT_EQ(Tool({"ip", "delete", "10.0.0.0/24", "--manage"}).status, 1);
  EXPECT_EQ(Tool({"ip", "match", "10.0.0.7"}).status, 0) << "the white range is left";
  const ToolRun purge = Tool({"purge", "ip"});
  EXPECT_EQ(purge.status, 2);
  EXPECT_TRUE(Contains(purge.err, "--yes")) << purge.err;
  EXPECT_TRUE(Contains(Tool({"ip", "show"}).out, "white")) << "nothing was purged";
}

// The manual page and the bash completion name every command that --help
// lists, and the README describes each.
TEST_F(ToolTest, TheManualCompletionAndReadmeNameEveryCommand) {
  const ToolRun help = Tool({"--help"});
  ASSERT_EQ(help.status, 0);
  std::vector<std::string> commands;
  std::istringstream lines(help.out.substr(help.out.find("Subcommands:")));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  ", 0) == 0) commands.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  ASSERT_GE(commands.size(), 18u) << help.out;
  const std::string completion = ReadText(VARNEX_COMPLETION);
  const std::string readme = ReadText(VARNEX_README);
#if defined(VARNEX_MAN_PAGE)
  const std::string manual = ReadText(VARNEX_MAN_PAGE);
#else
  const std::string manual = help.out;  // built without help2man
#endif
  for (const std::string& command : commands) {
    EXPECT_TRUE(Contains(manual, command)) << command;
    EXPECT_TRUE(Contains(completion, " " + command)) << command;
    EXPECT_TRUE(Contains(readme, "**" + command + "**") || Contains(readme, "`" + command + " ") ||
                Contains(readme, "`" + command + "`"))
        << command;
  }
}

// help prints what --help prints, for the tool or for a command of a command.
TEST_F(ToolTest, HelpNamesTheCommandItIsAskedAbout) {
  const ToolRun help = Tool({"help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "Usage: varnex [OPTIONS] SUBCOMMAND")) << help.out;
  EXPECT_TRUE(Contains(help.out, "Subcommands:"));
  const ToolRun nested = Tool({"help", "ip", "add-white"});
  EXPECT_EQ(nested.status, 0);
  EXPECT_TRUE(Contains(nested.out, "Usage: varnex ip add-white [OPTIONS] RANGE")) << nested.out;
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{"help", "nosuch"}, {"help", "ip", "nosuch"}}) {
    const ToolRun run = Tool(words);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "has no command nosuch")) << run.err;
  }
}

// An export imported into an empty list gives the same records in the same
// order, records of one key included; so does what show --json prints; of
// two lines with one rule number the later counts.
TEST_F(ToolTest, ImportsGiveBackWhatExportAndShowWrote) {
  for (const char* rule : {"k1", "k2", "k3", "m1", "k4"}) {
    const std::string content = rule[0] == 'k' ? std::string("same-") + rule : "other";
    ASSERT_EQ(Tool({"add", "base", "--rule", rule, "--content", content}).status, 0);
  }
  const std::string exported = Tool({"export", "base"}).out;
  const std::string shown = Tool({"show", "base", "--json"}).out;
  for (const std::string& text : {exported, shown}) {
    const std::string file = Write("copy.json", text);
    ASSERT_EQ(Tool({"reset", "base", "--yes"}).status, 0);
    const ToolRun import = Tool({"import", "base", file});
    EXPECT_EQ(import.status, 0) << import.err;
    EXPECT_EQ(Tool({"export", "base"}).out, exported);
  }
  const std::string twice = Write("twice.jsonl",
                                  "{\"rule\":\"d\",\"content\":\"first\"}\n"
                                  "{\"rule\":\"D\",\"content\":\"later\"}\n");
  const ToolRun import = Tool({"import", "base", twice});
  EXPECT_TRUE(Contains(import.out, "added 1, replaced 1")) << import.out;
  const ToolRun shown_d = Tool({"show", "base", "--rule", "d"});
  EXPECT_TRUE(Contains(shown_d.out, "later")) << shown_d.out;
  EXPECT_FALSE(Contains(shown_d.out, "first")) << shown_d.out;
}

// While another process holds a list's lock, changing commands say so and
// exit 3, having changed nothing; reading commands answer.
TEST_F(ToolTest, ALockedListIsReportedWithStatusThree) {
  ASSERT_EQ(Tool({"add", "base", "--rule", "old", "--content", "x", "--end", "1"}).status, 0);
  const std::string file = Write("one.jsonl", "{\"rule\":\"n\",\"content\":\"abc\"}\n");
  auto mutex = OpenListMutex(0);
  ASSERT_EQ(mutex->Lock(500), platform::LockResult::kAcquired);
  const std::vector<std::vector<std::string>> changes = {
      {"add", "base", "--rule", "r", "--content", "abc"},
      {"delete", "base", "--rule", "old"},
      {"purge", "base"},
      {"reset", "base", "--yes"},
      {"import", "base", file},
  };
  for (const auto& args : changes) {
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.status, 3) << args[0] << ": " << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "list base is locked by process " + std::to_string(getpid())))
        << run.err;
    EXPECT_FALSE(Contains(run.out, "purged") || Contains(run.out, "deleted")) << run.out;
  }
  EXPECT_EQ(Tool({"show", "base"}).status, 0) << "reading takes no lock";
  // The cleaner says that it passed the list over, and goes on.
  const ToolRun clean = Tool({"clean", "base"}, 0, "", 1500);
  EXPECT_TRUE(Contains(clean.err, "base is locked by process " + std::to_string(getpid())))
      << clean.err;
  EXPECT_TRUE(Contains(clean.err, "not cleaned this time")) << clean.err;
  const ToolRun locks = Tool({"locks", "base"});
  EXPECT_TRUE(Contains(locks.out, "held by process " + std::to_string(getpid()))) << locks.out;
  EXPECT_TRUE(mutex->Unlock());
  EXPECT_TRUE(Contains(Tool({"show", "base"}).out, "old")) << "nothing was changed";
  EXPECT_TRUE(Contains(Tool({"locks"}).out, "free"));

  // --timeout waits for a holder that gives the lock back in time.
  Pipe held;
  const pid_t holder = ForkChild([&] {
    auto other = OpenListMutex(0);
    if (!platform::IsHeld(other->Lock(500))) return 1;
    held.Send();
    usleep(800 * 1000);
    return other->Unlock() ? 0 : 2;
  });
  ASSERT_TRUE(held.Receive());
  const ToolRun waited =
      Tool({"--timeout", "10", "add", "base", "--rule", "late", "--content", "late"});
  EXPECT_EQ(waited.status, 0) << waited.err;
  EXPECT_EQ(WaitChild(holder), 0);
}

// What the tool is given that it cannot take is named as it is.
TEST_F(ToolTest, VersionsUnknownOptionsAndMissingDirectories) {
  const struct {
    std::vector<std::string> args;  // after the tool (no --dir)
    int status;
    const char* said;
  } cases[] = {
      {{"-V"}, 0, "varnex 1."},
      {{"version"}, 0, "varnex 1."},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--json", "--bogus", "lists"}, 2, "unknown option --bogus"},
      {{"--dir", "/nonexistent-varnex", "check"}, 2, "does not exist"},
      {{"--dir", "/nonexistent-varnex", "lists"}, 2, "does not exist"},
      {{"--dir", "/nonexistent-varnex", "locks"}, 2, "does not exist"},
      {{"add", "--help"}, 0, "at most 29 bytes"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {VARNEX_TOOL_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string out = dir_.path() + ".out";
    const pid_t child = ForkChild([&] {
      const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, STDOUT_FILENO);
      dup2(fd, STDERR_FILENO);
      std::vector<char*> args;
      for (auto& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      return 91;
    });
    const int status = WaitChild(child);
    const std::string said = ReadText(out);
    unlink(out.c_str());
    EXPECT_EQ(status, c.status) << c.args[0] << ": " << said;
    EXPECT_TRUE(Contains(said, c.said)) << c.args[0] << ": " << said;
  }
}

// With --etcd every command acts on the cluster's rule set or is refused:
// none acts on this machine's lists in silence (no cluster is reached here:
// the refusal comes first).
TEST_F(ToolTest, CommandsThatDoNotActOnTheClusterRefuseEtcd) {
  ASSERT_EQ(Tool({"add", "base", "--rule", "kept", "--content", "kept.example"}).status, 0);
  const std::string file = dir_.path() + "-copy.sys";
  const std::vector<std::vector<std::string>> local_only = {
      {"restore", "base", file},
      {"sort", "base"},
      {"clean"},
      {"backup", "base", file},
      {"match", "base", "kept.example"},
      {"check"},
      {"ip", "show"},
      {"append", "base", "--rule", "x", "--content", "x"}};
  for (auto args : local_only) {
    const std::string command = args[0];
    args.insert(args.begin(), {"--etcd", "127.0.0.1:9", "--prefix", "/varnex"});
    const ToolRun run = Tool(args);
    EXPECT_EQ(run.status, 2) << command << ": " << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "does not act on the cluster's rule set")) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(file)) << "nothing was written";
  // A preview is of the cluster's changes: without --etcd it would be a
  // change of this machine's list made in silence.
  const ToolRun preview = Tool({"--dry-run", "delete", "base", "--rule", "kept"});
  EXPECT_EQ(preview.status, 2) << preview.err;
  EXPECT_TRUE(Contains(Tool({"show", "base"}).out, "kept")) << "nothing was changed";
}

// GBK texts: JSON keeps their bytes as hex; a table shows them decoded with
// --encoding GBK (or in a GBK locale), else escaped.
TEST_F(ToolTest, TextsInTheListsCodePageAreShownDecodedForPeople) {
  const std::string gbk =
      "ab\xc1\xa2"
      "cd";  // "ab", U+7ACB, "cd"
  ASSERT_EQ(Tool({"add", "base", "--rule", "g", "--content", gbk}).status, 0);
  const char* saved = getenv("LC_ALL");
  const std::string restore = saved != nullptr ? saved : "";
  SetEnvironment("LC_ALL", kUtf8Locale);
  const struct {
    std::vector<std::string> args;
    const char* shown;
  } cases[] = {
      {{"show", "base"}, "ab\\xc1\\xa2cd"},
      {{"--encoding", "GBK", "show", "base"},
       "ab\xe7\xab\x8b"
       "cd"},
      {{"--encoding", "no-such-code-page", "show", "base"}, "ab\\xc1\\xa2cd"},
      {{"--encoding", "GBK", "export", "base"}, "\"content_hex\":\"6162c1a26364\""},
  };
  for (const auto& c : cases) {
    const ToolRun run = Tool(c.args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, c.shown)) << c.args[0] << ": " << run.out;
  }
  SetEnvironment("LC_ALL", kGbkLocale);
  EXPECT_TRUE(Contains(Tool({"show", "base"}).out, gbk)) << "a GBK terminal takes the bytes";
  SetEnvironment("LC_ALL", saved != nullptr ? restore.c_str() : nullptr);
}

// Long work shows its progress on a terminal only (script(1) gives the tool
// one).
TEST_F(ToolTest, ProgressIsShownOnATerminalOnly) {
  for (const char* rule : {"p1", "p2", "p3"}) {
    ASSERT_EQ(Tool({"add", "base", "--rule", rule, "--content", rule}).status, 0);
  }
  const ToolRun piped = Tool({"export", "base", "-"});
  EXPECT_EQ(piped.status, 0);
  EXPECT_FALSE(Contains(piped.err, "records exported")) << piped.err;
  const std::string file = Write("again.jsonl", piped.out);
  const struct {
    std::string args;
    const char* shown;
  } cases[] = {
      {"export base >/dev/null", "records exported: 3/3 (100%)"},
      {"import base " + file, "records stored: 3/3 (100%)"},
      {"import --append content " + file, "records appended: 3/3 (100%)"},
      {"backup base " + dir_.path() + "/progress.backup", "bytes written: 24847/24847 (100%)"},
      {"restore base " + dir_.path() + "/progress.backup", "bytes read: 24847/24847 (100%)"},
  };
  for (const auto& c : cases) {
    const std::string out = dir_.path() + ".terminal";
    const std::string command = "script -qec '" + std::string(VARNEX_TOOL_PATH) + " --dir " +
                                dir_.path() + " " + c.args + "' /dev/null >" + out;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string shown = ReadText(out);
    unlink(out.c_str());
    EXPECT_TRUE(Contains(shown, c.shown)) << shown;
  }
  EXPECT_FALSE(Contains(Tool({"import", "base", file}).err, "records stored")) << "not a terminal";
}

TEST_F(ToolTest, ChangesByAUserWhoMayOnlyReadAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another account";
  chmod(dir_.path().c_str(), 0755);
  ASSERT_EQ(Tool({"add", "base", "--rule", "r", "--content", "a"}).status, 0);
  const ToolRun show = Tool({"show", "base"}, 65534);
  EXPECT_EQ(show.status, 0) << show.err;
  const ToolRun add = Tool({"add", "base", "--rule", "s", "--content", "b"}, 65534);
  EXPECT_EQ(add.status, 2);
  EXPECT_TRUE(Contains(add.err, "read-only for this user")) << add.err;
}

TEST_F(ToolTest, WildcardStatusAndExitCodes) {
  struct Case {
    const char* pattern;
    const char* text;
    const char* first;
    int status;
  } cases[] = {{"*.COM", "a.com", "0 match", 0},
               {"A*B", "axbxb", "1 no match", 1},
               {"abc", "abc", "6 pattern holds no wildcard", 2},
               {"*", "a*c", "7 text holds a wildcard", 2}};
  for (const Case& c : cases) {
    const ToolRun run = Tool({"wildcard", c.pattern, c.text});
    EXPECT_EQ(run.status, c.status) << c.pattern;
    EXPECT_EQ(run.out, std::string(c.first) + "\n");
  }
}

// The cleaner of all lists passes over a list that its account may not
// change (made by root in its directory) and cleans the others; a list
// named is cleaned or the command fails.
TEST_F(ToolTest, CleanPassesOverAListItMayNotChange) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another account";
  constexpr uid_t kCleaner = 65534;
  ASSERT_EQ(chown(dir_.path().c_str(), kCleaner, kCleaner), 0);
  ASSERT_EQ(Tool({"add", "trace", "--rule", "root", "--content", "x"}).status, 0);  // root's
  ASSERT_EQ(
      Tool({"add", "base", "--rule", "old", "--content", "gone", "--end", "1"}, kCleaner).status,
      0);
  const ToolRun all = Tool({"clean"}, kCleaner, "", 1500);
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_TRUE(Contains(all.err, "list trace is read-only for this user")) << all.err;
  EXPECT_TRUE(Contains(all.out, "base: purged 1 outdated records")) << all.out;
  const ToolRun named = Tool({"clean", "trace"}, kCleaner, "", 1500);
  EXPECT_EQ(named.status, 2) << named.err;
}

TEST_F(ToolTest, CleanPurgesAndStopsOnSigterm) {
  ASSERT_EQ(Tool({"add", "trace", "--rule", "old", "--content", "gone", "--end", "1"}).status, 0);
  ASSERT_EQ(Tool({"add", "trace", "--rule", "new", "--content", "stays"}).status, 0);
  const std::string tool = VARNEX_TOOL_PATH;
  pid_t cleaner = ForkChild([&] {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    execl(tool.c_str(), tool.c_str(), "--dir", dir_.path().c_str(), "clean", "trace",
          static_cast<char*>(nullptr));
    return 91;
  });
  // Wait (bounded) until the purge shows in the list.
  const int64_t deadline = NowMs() + 10000;
  while (NowMs() < deadline && Contains(Tool({"show", "trace"}).out, "gone")) usleep(20000);
  EXPECT_FALSE(Contains(Tool({"show", "trace"}).out, "gone"));
  EXPECT_TRUE(Contains(Tool({"show", "trace"}).out, "stays"));
  kill(cleaner, SIGTERM);
  EXPECT_EQ(WaitChild(cleaner), 0);
}

}  // namespace
}  // namespace varnex::test

namespace varnex::test {
namespace {

class ToolFilesTest : public ToolTest {};

// Reading commands never create or change a file; backup and restore put a
// list back whole; a pattern no text can reach is refused.
TEST_F(ToolFilesTest, ReadingCreatesNothingAndBackupRestoreRoundTrip) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"show", "base"},
                                               {"match", "base", "abc"},
                                               {"export", "base"},
                                               {"lists"},
                                               {"check"}}) {
    (void)Tool(args);
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path())) << "a reading command made a file";

  ASSERT_EQ(Tool({"add", "base", "--rule", "a", "--content", "one"}).status, 0);
  ASSERT_EQ(Tool({"add", "base", "--rule", "b", "--content", "two"}).status, 0);
  const std::string backup = dir_.path() + "/base.backup";
  ToolRun run = Tool({"backup", "base", backup});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(Tool({"backup", "base", backup}).status, 0) << "a backup never overwrites";
  ASSERT_EQ(Tool({"delete", "base", "--rule", "a"}).status, 0);
  ASSERT_EQ(Tool({"add", "base", "--rule", "c", "--content", "three"}).status, 0);
  run = Tool({"restore", "base", backup});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Tool({"match", "base", "one"}).status, 0);
  EXPECT_EQ(Tool({"match", "base", "three"}).status, 1);
  EXPECT_NE(Tool({"restore", "base", Write("junk", "not a list")}).status, 0);
  EXPECT_EQ(Tool({"match", "base", "two"}).status, 0);

  run = Tool({"add", "base", "--rule", "p", "--content", "*.example.com", "--key", "1001"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "could never match")) << run.err;
}

// What another account puts in a directory it may write (a link to a file
// of root's, a FIFO) is never written through, truncated, blocked on or
// read by the tool running as root; what the tool writes takes the list's
// mode.
TEST_F(ToolFilesTest, NamesAnotherAccountPreparedAreNeverFollowedOrBlockedOn) {
  if (geteuid() != 0 || UnusedAccount() == 0) GTEST_SKIP() << "needs root and an unused account";
  ASSERT_EQ(Tool({"add", "base", "--rule", "own", "--content", "own.example"}).status, 0);
  chmod((dir_.path() + "/" + LIST_FILE_NAMES[0]).c_str(), 0600);
  // A file of root's that no one else may read, outside the shared folder,
  // and a record in it that must never reach a list.
  const std::string secret = dir_.path() + "-secret";
  std::ofstream(secret) << "{\"rule\":\"secret\",\"content\":\"secret.example\"}\n";
  chmod(secret.c_str(), 0600);
  const std::string shared = dir_.path() + "-shared";  // like /tmp: any account may add names
  std::filesystem::create_directories(shared);
  chmod(shared.c_str(), 01777);
  auto prepare = [&](const std::string& name, bool fifo) {
    const std::string path = shared + "/" + name;
    EXPECT_EQ(WaitChild(ForkAsOtherAccount([&] {
                return fifo ? mkfifo(path.c_str(), 0666) : symlink(secret.c_str(), path.c_str());
              })),
              0);
    return path;
  };
  const struct {
    std::vector<std::string> command;  // the name is added last
    bool fifo;
    const char* said;
  } cases[] = {
      {{"export", "base"}, false, "not a regular file"},
      {{"export", "base"}, true, "not a regular file"},
      {{"backup", "base"}, false, "not a regular file"},
      {{"backup", "base"}, true, "not a regular file"},
      {{"import", "base"}, false, "symbolic link"},
      {{"import", "base"}, true, "not a regular file"},
      {{"restore", "base"}, false, "symbolic link"},
      {{"restore", "base"}, true, "not a regular file"},
      {{"check"}, false, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::vector<std::string> args = c.command;
    if (args[0] != "check") args.push_back(prepare("name" + std::to_string(n++), c.fifo));
    const ToolRun run = Tool(args);
    if (args[0] == "check") continue;
    EXPECT_EQ(run.status, 2) << args[0] << " " << args.back() << ": " << run.err;
    EXPECT_TRUE(Contains(run.err, c.said)) << args[0] << ": " << run.err;
  }
  EXPECT_EQ(ReadText(secret), "{\"rule\":\"secret\",\"content\":\"secret.example\"}\n")
      << "root's file was written through a link";
  EXPECT_EQ(Tool({"match", "base", "secret.example"}).status, 1) << "a record of root's file";

  // New files take the list's mode: no account reads through them what the
  // list keeps from it.
  for (const std::vector<std::string>& command :
       {std::vector<std::string>{"export", "base", shared + "/out.jsonl"},
        {"backup", "base", shared + "/out.backup"}}) {
    const ToolRun run = Tool(command);
    ASSERT_EQ(run.status, 0) << command[0] << ": " << run.err;
    struct stat st = {};
    ASSERT_EQ(stat(command[2].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << command[0];
  }
  // An export replaces a regular file whole.
  const ToolRun again = Tool({"export", "base", shared + "/out.jsonl"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_TRUE(Contains(ReadText(shared + "/out.jsonl"), "own.example"));

  // A name swapped between a regular file and a link to root's file while
  // root imports it: never blocks, never takes root's record.
  const std::string swapped = shared + "/swapped.jsonl", decoy = shared + "/decoy.jsonl";
  Pipe started;
  const pid_t swapper = ForkAsOtherAccount([&]() -> int {
    std::ofstream(decoy) << "{\"rule\":\"decoy\",\"content\":\"decoy.example\"}\n";
    started.Send();
    for (int i = 0;; ++i) {
      const std::string next = swapped + ".next";
      unlink(next.c_str());
      if (i % 3 == 0) {
        (void)symlink(secret.c_str(), next.c_str());
      } else if (i % 3 == 1) {
        (void)mkfifo(next.c_str(), 0666);
      } else {
        (void)link(decoy.c_str(), next.c_str());
      }
      (void)rename(next.c_str(), swapped.c_str());
    }
  });
  ASSERT_TRUE(started.Receive());
  for (int i = 0; i < 30; ++i) {
    const ToolRun run = Tool({"import", "base", swapped});
    EXPECT_TRUE(run.status == 0 || run.status == 2) << run.status << ": " << run.err;
  }
  kill(swapper, SIGKILL);
  WaitChild(swapper);
  EXPECT_EQ(Tool({"match", "base", "secret.example"}).status, 1) << "a record of root's file";
  std::filesystem::remove_all(shared);
  std::filesystem::remove(secret);
}

}  // namespace
}  // namespace varnex::test
