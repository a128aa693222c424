// quorvel export FILE [--output PATH]: every record as JSON Lines.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "output_file.h"
#include "progress.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {
namespace {

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  const std::string output_path = line.last("--output").value_or("");
  auto file = StoredFile::open(path);
  if (!file) return fail_to_open(file.error());
  // Checked with the database open, so that its log exists if it ever will.
  if (auto clash = output_clashes_with_database(output_path, path)) {
    return fail(output_path.empty() || output_path == "-" ? "standard output" : output_path, *clash);
  }
  OutputFile output(output_path);
  std::string error;
  if (!output.open(error)) return fail(output_path, error);

  Progress progress("exporting", rows_for_progress(*file), "records");
  // Records written to the terminal that shows the bar go on lines of their own.
  const bool onto_the_bar = output.stream() == stdout && ::isatty(STDOUT_FILENO) != 0;
  std::string failure;
  std::string text;
  auto read = file->for_each_row([&](std::string_view key, std::string_view value) {
    auto record = read_stored_row(key, value);
    if (!record) {
      failure = "row " + json_string(key) + ": " + record.error().message() + " (quorvel check lists every such row)";
      return false;
    }
    auto form = stored_form(*record);
    if (!form) {
      failure = "row " + json_string(key) + ": " + form.error();
      return false;
    }
    *form += '\n';
    if (onto_the_bar) progress.clear();
    if (std::fwrite(form->data(), 1, form->size(), output.stream()) != form->size()) {
      failure = std::string("cannot write the output: ") + std::strerror(errno);
      return false;
    }
    progress.advance();
    return true;
  });
  if (!read) return fail(path, read.error().message());
  if (!failure.empty()) return fail(path, failure);
  if (!output.finish(error)) return fail(output_path.empty() ? "standard output" : output_path, error);
  return kDone;
}

}  // namespace

const Command kExportCommand{
    "export", "write every record as JSON Lines",
    "usage: quorvel export FILE [--output PATH]\n\n"
    "Writes every record of FILE in key order, one per line, in the form the\n"
    "database stores it: {\"id\":...,\"vector\":[...],\"metadata\":...,\"timestamp\":...}.\n"
    "To standard output, or to PATH, which appears only once it is complete. Fails\n"
    "at the first row that does not read back (quorvel check lists them).\n",
    {"--output"}, 1, run};

}  // namespace quorvel::cli
