#include "command_line.h"

namespace quorvel::cli {

std::optional<std::string> CommandLine::last(const std::string& name) const {
  const auto it = options.find(name);
  if (it == options.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

ParseResult parse_command_line(const std::vector<std::string>& words, const std::set<std::string>& with_value) {
  CommandLine line;
  bool options_end = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (options_end || word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9')) {
      line.positional.push_back(word);  // a plain word, or a negative number
      continue;
    }
    if (word == "--") {
      options_end = true;
      continue;
    }
    if (word == "--help" || word == "-h") {
      line.help = true;
      continue;
    }
    std::string name = word;
    std::optional<std::string> value;
    if (const auto equals = word.find('='); word.starts_with("--") && equals != std::string::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
    }
    if (!with_value.contains(name)) return {std::nullopt, "unknown option " + name};
    if (!value) {
      if (i + 1 == words.size()) return {std::nullopt, "option " + name + " needs a value"};
      value = words[++i];
    }
    line.options[name].push_back(*value);
  }
  return {std::move(line), {}};
}

}  // namespace quorvel::cli
