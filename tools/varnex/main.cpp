// varnex: inspect, edit, test and clean the shared rule lists from a shell,
// on the same files and locks that programs use. Each group of commands is
// a file of its own (see Commands.h).
#include <stdlib.h>

#include <clocale>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "ToolSupport.h"
#include "ToolSystem.h"
#include "cluster/ClusterEdits.h"

namespace varnex::tool {
namespace {

// The help of the tool, or of the command that the words name.
int PrintHelp(CLI::App& app, const std::vector<std::string>& words) {
  CLI::App* topic = &app;
  std::string path = "varnex";  // the words that lead to the topic
  for (const std::string& word : words) {
    CLI::App* next = nullptr;
    for (CLI::App* command : topic->get_subcommands([](CLI::App*) { return true; })) {
      if (command->get_name() == word) next = command;
    }
    if (next == nullptr) {
      std::cerr << "varnex: " << path << " has no command " << word << " (see varnex --help)\n";
      return 2;
    }
    topic = next;
    path += " " + word;
  }
  // The formatter itself: App::help would give the help of the command that
  // was run (this one).
  std::cout << topic->get_formatter()->make_help(topic, path, CLI::AppFormatMode::Normal);
  return 0;
}

bool FollowGiven(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands()) {
    if (command->get_name() == "follow") return true;
  }
  return false;
}

// The first word before the command that looks like an option and names
// none of the tool's (an option's value is skipped); "" when there is none.
std::string UnknownOption(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word.empty() || word[0] != '-' || word == "-") return "";  // the command
    const std::string name = word.substr(0, word.find('='));
    const CLI::Option* option = nullptr;
    for (const CLI::Option* candidate : app.get_options()) {
      if (candidate->check_name(name)) option = candidate;
    }
    if (option == nullptr) return word;
    if (option->get_expected_min() > 0 && word.find('=') == std::string::npos) ++i;  // its value
  }
  return "";
}

int Run(int argc, char** argv) {
  CLI::App app{"varnex: inspect, edit, test and clean the shared rule lists"};
  app.fallthrough();
  app.set_version_flag("--version,-V", "varnex " VARNEX_VERSION);
  app.require_subcommand(1);
  std::string dir;
  app.add_option("--dir", dir,
                 "directory of the list files (default: $VARNEX_SYSTEM_DIR, else "
#if defined(_WIN32)
                 "the system directory"
#else
                 "/var/lib/varnex"
#endif
                 ")");
  app.add_flag("--json", g_json, "machine-readable output");
  app.add_option("--encoding", g_encoding,
                 "code page of the lists' texts, such as GBK, for tables (default: the locale's; "
                 "JSON keeps the bytes, as hex where they are no UTF-8)");
  app.add_option("--timeout", g_cluster.timeout_seconds,
                 "how long a change waits for a list that another process keeps locked (default: "
                 "the library's 500 ms; 10 s for follow), and how long one etcd call may keep "
                 "trying the endpoints (default 15 s; 5 s for follow), in seconds")
      ->check(CLI::Range(0.05, 3600.0));
  AddClusterOptions(app);
  CLI::App* version = app.add_subcommand("version", "the version of the tool");
  CLI::App* help = app.add_subcommand("help", "the help of the tool, or of a command");
  std::vector<std::string> help_topic;
  help->add_option("COMMAND", help_topic, "a command, and a command of it (ip add-white)");
  std::vector<std::unique_ptr<CommandGroup>> groups;
  groups.push_back(AddListCommands(app));
  groups.push_back(AddFileCommands(app));
  groups.push_back(AddIpCommands(app));
  groups.push_back(AddUpkeepCommands(app));
  groups.push_back(AddClusterCommands(app));
  groups.push_back(AddClusterCheckCommands(app));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // An option the tool does not know, before any command, is named as such
    // (rather than "a subcommand is required").
    const std::string unknown = UnknownOption(app, argc, argv);
    std::cerr << "varnex: "
              << (unknown.empty() ? std::string(e.what()) : "unknown option " + unknown)
              << " (see varnex --help)\n";
    return 2;
  }
  if (help->parsed()) return PrintHelp(app, help_topic);
  if (version->parsed()) {
    std::cout << "varnex " VARNEX_VERSION "\n";
    return 0;
  }
  if (g_cluster.dry_run && (!OnCluster() || FollowGiven(app))) {
    std::cerr << "varnex: --dry-run previews a change of the cluster's rule set: give --etcd "
                 "and a command that changes it\n";
    return 2;
  }
  if (OnCluster()) {
    // The words of the command given ("ip add-white").
    std::string command;
    for (CLI::App* level = &app; !level->get_subcommands().empty();) {
      level = level->get_subcommands().front();
      command += (command.empty() ? "" : " ") + level->get_name();
    }
    if (!ActsOnCluster(command)) {
      std::cerr << "varnex: " << command
                << " does not act on the cluster's rule set: leave out --etcd to act on this "
                   "machine's lists\n";
      return 2;
    }
  }
  // The library's own setting of the list directory.
  if (!dir.empty()) SetEnvironment("VARNEX_SYSTEM_DIR", dir);
  for (const auto& group : groups) {
    if (const std::optional<int> status = group->Run()) return *status;
  }
  return 2;
}

}  // namespace
}  // namespace varnex::tool

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  try {
    return varnex::tool::Run(argc, argv);
  } catch (const varnex::tool::ListLocked& e) {
    std::cerr << "varnex: " << e.what() << "\n";
    return 3;
  } catch (const std::bad_alloc&) {
    std::cerr << "varnex: not enough memory\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "varnex: " << e.what() << "\n";
    return 2;
  } catch (...) {
    std::cerr << "varnex: unexpected failure\n";
    return 2;
  }
}
