#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvel::cli {

// The words of one subcommand's command line, sorted into positional
// arguments and options ("--name value", "--name=value", "-k value").
struct CommandLine {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;  // every value given, in order
  bool help = false;                                       // --help or -h

  // The last value given for `name`, or nothing.
  std::optional<std::string> last(const std::string& name) const;
};

// Sorts `words` (the arguments after the subcommand) by the options the
// subcommand knows: `with_value` take one value each. Fails with a message
// for an unknown option or a missing value.
struct ParseResult {
  std::optional<CommandLine> line;
  std::string error;
};
ParseResult parse_command_line(const std::vector<std::string>& words, const std::set<std::string>& with_value);

}  // namespace quorvel::cli
