// The command line both reference hosts read the same way: the library to load, the global
// options (--library, --json, --verbose, --color, before or after the command), the command
// word found before parsing (so that a typo is answered with the nearest command, and --json
// is known even for a bad command line), help and version on stdout through the checked writes,
// and the commands as one table of name, help line, options and handler.
// Header-only, over CLI11 and host_cli.h.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host_cli.h"

namespace hostcli {

// The library by its SONAME, found in the system's library path as a real host finds it.
inline constexpr char kDefaultLibrary[] = "libqovorlixatomicsae.so.23";

// The library to load unless --library says otherwise: $QOVORLIX_LIBRARY when set and not
// empty, else kDefaultLibrary.
inline std::string defaultLibrary() {
  const char* env = std::getenv("QOVORLIX_LIBRARY");
  return env != nullptr && *env != '\0' ? std::string(env) : std::string(kDefaultLibrary);
}

// Whether `flag` is one of the arguments before a "--".
inline bool hasFlag(int argc, char** argv, std::string_view flag) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") return false;
    if (a == flag) return true;
  }
  return false;
}

// Whether the command line asks for help or the version, which need no command.
inline bool asksForHelp(int argc, char** argv) {
  return hasFlag(argc, argv, "--help") || hasFlag(argc, argv, "-h") ||
         hasFlag(argc, argv, "--help-all") || hasFlag(argc, argv, "--version");
}

// The first word of the command line that is not an option or an option's value (the command),
// or nothing.
inline std::optional<std::string> commandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") return i + 1 < argc ? std::optional<std::string>(argv[i + 1]) : std::nullopt;
    if (a == "--library" || a == "--color") {
      ++i;
      continue;
    }
    if (!a.empty() && a[0] == '-') continue;
    return std::string(a);
  }
  return std::nullopt;
}

// What the global options set.
struct GlobalOptions {
  std::string library = defaultLibrary();
  bool json = false;
  bool verbose = false;
  std::string color = "auto";
};

// The colour mode --color named (CLI11 has checked it already).
inline ColorMode colorMode(const GlobalOptions& o) {
  ColorMode mode = ColorMode::Auto;
  parseColorMode(o.color, mode);
  return mode;
}

// Parses the command line. Help and version are answered on stdout, ended by a newline; then
// the result is true and nothing is to run. A bad command line throws CLI::ParseError.
inline bool parseOrAnswer(CLI::App& app, int argc, char** argv) {
  const auto answer = [&](const CLI::ParseError& e) {
    std::ostringstream text, errors;
    app.exit(e, text, errors);
    std::string shown = text.str();
    if (shown.empty() || shown.back() != '\n') shown += '\n';
    write(shown);
    return true;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return answer(e);
  } catch (const CLI::CallForAllHelp& e) {
    return answer(e);
  } catch (const CLI::CallForVersion& e) {
    return answer(e);
  }
  return false;
}

// One command of a host: its word and help line, the options it takes, what runs it, and
// whether it waits for SIGINT/SIGTERM itself (they are then blocked before the library starts
// a thread, so that only its own wait takes them).
template <typename Options, typename Handler>
struct Command {
  const char* name;
  const char* help;
  void (*options)(CLI::App& command, Options& o);
  Handler run;
  bool waits = false;
};

// The words of a table of commands, in its order.
template <typename Table>
std::vector<std::string> commandNames(const Table& table) {
  std::vector<std::string> names;
  for (const auto& c : table) names.emplace_back(c.name);
  return names;
}

// The table's commands added to `app` (in its order, so --help lists them so), their options
// writing into `o`. Returns them, in the same order.
template <typename Options, typename Table>
std::vector<CLI::App*> addCommands(CLI::App& app, const Table& table, Options& o) {
  std::vector<CLI::App*> commands;
  for (const auto& c : table) {
    CLI::App* command = app.add_subcommand(c.name, c.help);
    c.options(*command, o);
    commands.push_back(command);
  }
  return commands;
}

// What a host says of itself on the command line: the footer of its help (exit codes), its
// version line, and the help lines of the global options that differ between the hosts.
struct Program {
  std::string footer;
  std::string version;
  const char* jsonHelp;
  const char* verboseHelp;
};

// The program's frame (footer, one command required, global options after it too, help and
// version flags, the global options) and the table's commands. Returns the commands, in the
// table's order.
template <typename Options, typename Table>
std::vector<CLI::App*> describeProgram(CLI::App& app, const Program& program, const Table& table,
                                       Options& o) {
  app.footer(program.footer);
  app.require_subcommand(1);
  app.fallthrough();  // global options after the command too
  app.set_help_all_flag("--help-all", "print this help with every command's options and exit");
  app.set_version_flag("--version", program.version);
  GlobalOptions& global = o;
  app.add_option("--library", global.library,
                 "the library to load (default: $QOVORLIX_LIBRARY, else libqovorlixatomicsae.so.23 "
                 "from the system's library path)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--json", global.json, program.jsonHelp);
  app.add_flag("--verbose", global.verbose, program.verboseHelp);
  app.add_option("--color", global.color,
                 "colour: auto (a terminal, unless NO_COLOR is set), always, never")
      ->check(CLI::IsMember({"auto", "always", "never"}))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  return addCommands(app, table, o);
}

// The index of the command the parsed command line chose, or the number of commands if none.
inline std::size_t chosenCommand(const std::vector<CLI::App*>& commands) {
  std::size_t i = 0;
  while (i < commands.size() && !*commands[i]) ++i;
  return i;
}

}  // namespace hostcli
