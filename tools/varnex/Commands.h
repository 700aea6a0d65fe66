// The commands of the varnex tool, in groups, and what they share: how a
// list is loaded and read, and how results are printed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "ToolSupport.h"
#include "varnex/Varnex.h"

namespace varnex::tool {

// True when the results are printed as JSON (--json).
extern bool g_json;
// The code page of the lists' texts for tables (--encoding; empty: the
// locale's).
extern std::string g_encoding;

uint32_t Now();
void PrintJson(const nlohmann::json& value);
// Prints rows as columns padded to the widest cell.
void PrintTable(const std::vector<std::vector<std::string>>& rows);
// Prints `text`, or `object` as JSON with --json.
void Report(const std::string& text, const nlohmann::json& object);
void PrintRecords(const std::vector<NEW_AUDIT_LIST_ITEM>& records);

// Another process held the list's lock past the library's wait, so nothing
// was changed: exit status 3.
struct ListLocked : ToolError {
  using ToolError::ToolError;
};
// Runs a changing call on `list`, which returns whether it changed the list.
// When it did not because another process held the list's lock (the
// library's GetLastFailure), makes it again until --timeout has passed, and
// then throws ListLocked naming the list and the holder; else returns its
// result.
bool ChangeUnlessLocked(CVarnex& list, int32_t type, const std::function<bool()>& change);

// Refuses (ToolError) a list directory that does not exist: a command that
// looks at every list would find nine lists "missing" in a mistyped one.
void RequireListDirectory();
// Loads list `type`; reading commands open it for reading only: they never
// create, extend, repair or write a file, whoever runs them. Throws
// ToolError with the reason when it cannot be loaded.
std::unique_ptr<CVarnex> Load(int32_t type, bool for_change = false);
// Loads it for a changing command, checking first that this user may change
// the list file.
std::unique_ptr<CVarnex> LoadForChange(int32_t type);
// The records as the list stood at one moment.
std::vector<NEW_AUDIT_LIST_ITEM> ReadAll(CVarnex& list);

// A list file holding `records` in this order, with room for more after
// them: what a backup writes and ReplaceFile takes.
std::vector<uint8_t> ListFileBytes(const std::vector<NEW_AUDIT_LIST_ITEM>& records);

// Refuses (ToolError) an append of records[0..count) to list `type` that
// would put a key after a larger one: a sorted list is searched by its keys,
// and a record out of order is missed. The IP list has no order.
void CheckAppendKeepsOrder(CVarnex& list, int32_t type, const NEW_AUDIT_LIST_ITEM* records,
                           size_t count);

// Puts `records` in place of list `type`'s records: written whole beside the
// list and put in place under its lock (ReplaceFile). Throws ListLocked or
// ToolError when it could not be.
void ReplaceRecords(CVarnex& list, int32_t type, const std::vector<NEW_AUDIT_LIST_ITEM>& records);

// Refuses (ToolError) to store text records in the IP list, which holds
// ranges only (the ip commands store them).
void RefuseTextsInTheIpList(int32_t type);

// The LIST argument of a command.
void AddListArgument(CLI::App* command, std::string* list_text);

// A group of subcommands. Its Add... function registers them on the app;
// after parsing, Run() runs the one that was given and returns its exit
// status, or nullopt when none of the group's was given.
class CommandGroup {
 public:
  virtual ~CommandGroup() = default;
  virtual std::optional<int> Run() = 0;
};

// lists, show, add, append, delete, purge, reset, match.
std::unique_ptr<CommandGroup> AddListCommands(CLI::App& app);
// import, export, backup, restore.
std::unique_ptr<CommandGroup> AddFileCommands(CLI::App& app);
// ip add-white, add-manage, match, show, reset-white, reset-manage.
std::unique_ptr<CommandGroup> AddIpCommands(CLI::App& app);
// check, clean, wildcard.
std::unique_ptr<CommandGroup> AddUpkeepCommands(CLI::App& app);

// What is wrong with the file at `path` as a file of list `type` (whether it
// can be read, its header, its free slots, its key order or its ranges);
// empty when nothing is.
std::vector<std::string> ProblemsOfListFile(int32_t type, const std::string& path);
// The same of a list file's bytes.
std::vector<std::string> ProblemsOfListBytes(int32_t type, const std::vector<uint8_t>& bytes);

}  // namespace varnex::tool
