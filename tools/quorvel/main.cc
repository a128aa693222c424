// quorvel: the command-line program for database files. One subcommand per
// job; `quorvel <subcommand> --help` describes each. Exit status 0 when the
// job is done, 1 when it failed (the reason on standard error), 2 for a
// command line that is not understood.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"

namespace {

using quorvel::cli::Command;

const Command* const kCommands[] = {&quorvel::cli::kInfoCommand,   &quorvel::cli::kCheckCommand,
                                    &quorvel::cli::kExportCommand, &quorvel::cli::kImportCommand,
                                    &quorvel::cli::kSalvageCommand, &quorvel::cli::kSearchCommand};

void print_overview(std::FILE* out) {
  std::fputs("usage: quorvel <command> [arguments]\n\nCommands for quorvel database files:\n", out);
  for (const Command* command : kCommands) std::fprintf(out, "  %-8s %s\n", command->name, command->summary);
  std::fputs("\nquorvel <command> --help describes each command; quorvel --version prints the version.\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_overview(stderr);
    return quorvel::cli::kUsage;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    print_overview(stdout);
    return quorvel::cli::kDone;
  }
  if (name == "--version") {
    std::printf("quorvel %s\n", QUORVEL_VERSION);
    return quorvel::cli::kDone;
  }
  for (const Command* command : kCommands) {
    if (name != command->name) continue;
    const auto parsed =
        quorvel::cli::parse_command_line(std::vector<std::string>(argv + 2, argv + argc), command->options_with_value);
    if (!parsed.line) return quorvel::cli::usage_error(*command, parsed.error);
    if (parsed.line->help) {
      std::fputs(command->help, stdout);
      return quorvel::cli::kDone;
    }
    if (parsed.line->positional.size() != command->positional_count) {
      return quorvel::cli::usage_error(*command, "expected " + std::to_string(command->positional_count) + " argument" +
                                       (command->positional_count == 1 ? "" : "s") + ", got " +
                                       std::to_string(parsed.line->positional.size()));
    }
    return command->run(*parsed.line);
  }
  std::fprintf(stderr, "quorvel: unknown command '%s'\n", argv[1]);
  print_overview(stderr);
  return quorvel::cli::kUsage;
}
