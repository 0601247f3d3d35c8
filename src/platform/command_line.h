#pragma once
#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quobble {

// The one command-line parser of every quobble program. A program describes
// its options in a table; the parser takes "--name VALUE" and "--name=VALUE"
// anywhere among the operands, ends options at "--", answers --help (-h) and
// --version itself, and reports a mistake as "PROGRAM: what\nTry 'PROGRAM
// --help'." on the error stream.

struct CommandOption {
  std::string_view name;   // "--endpoint"
  std::string_view value;  // what the value is called in the help ("URL"); empty for a flag
  std::string_view help;   // may run over several lines ('\n')
  // Takes the value (empty for a flag); returns what is wrong with it, or
  // an empty text when it is taken. Called once per occurrence, so an option
  // given twice is seen twice.
  std::function<std::string(const std::string& value)> take;
};

// The `take` of the common options: keeps the value in `field`, or sets a
// flag's `field` to `value`.
std::function<std::string(const std::string&)> StoreIn(std::string& field);
std::function<std::string(const std::string&)> SetFlag(bool& field, bool value = true);

struct ProgramHelp {
  std::string_view name;  // "quobble-cli"
  // The usage lines: "Usage: PROGRAM ...", then "  or:  PROGRAM ..." (the form
  // man-page generators read).
  std::string_view synopsis;
  std::string_view summary;  // before the options; may be empty
  std::string_view details;  // after the options; may be empty
};

struct ParsedCommandLine {
  // False when the program should end at once with `exitCode`: 0 after
  // --help or --version, 2 after a mistake (already reported).
  bool run = true;
  int exitCode = 0;
  std::vector<std::string> operands;
  // How many of the operands came before "--" (all of them without one).
  size_t operandsBeforeDashes = 0;
};

// `args` excludes the program name.
ParsedCommandLine ParseCommandLine(const ProgramHelp& program,
                                   const std::vector<CommandOption>& options,
                                   const std::vector<std::string>& args, std::ostream& out,
                                   std::ostream& err);
std::vector<std::string> ArgumentList(int argc, char** argv);

// The help text: synopsis, summary, one entry per option (--help and
// --version included), details.
std::string HelpText(const ProgramHelp& program, const std::vector<CommandOption>& options);

// The release, the same for every program of the build ("1.0").
std::string_view ProgramVersion();

}  // namespace quobble
