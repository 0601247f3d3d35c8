#include "platform/command_line.h"

#include <algorithm>
#include <charconv>

#ifndef QUOBBLE_VERSION
#define QUOBBLE_VERSION "0"
#endif

namespace quobble {

namespace {

constexpr size_t kHelpColumn = 21;  // where the option texts start

const CommandOption kHelpOption{"--help", "", "show this text and exit", {}};
const CommandOption kVersionOption{"--version", "", "show the version and exit", {}};

std::string Label(const CommandOption& option) {
  std::string label(option.name);
  if (!option.value.empty()) {
    label += ' ';
    label += option.value;
  }
  return label;
}

void AppendOption(std::string& text, const CommandOption& option) {
  std::string line = "  " + Label(option);
  // A label too long for the column puts its text on the lines below.
  if (line.size() + 2 > kHelpColumn) {
    text += line + '\n';
    line.clear();
  }
  std::string_view help = option.help;
  bool first = true;
  while (first || !help.empty()) {
    const size_t newline = help.find('\n');
    const std::string_view piece = help.substr(0, newline);
    line.resize(kHelpColumn, ' ');
    text += line;
    text += piece;
    text += '\n';
    line.clear();
    help = newline == std::string_view::npos ? std::string_view() : help.substr(newline + 1);
    first = false;
  }
}

void AppendParagraph(std::string& text, std::string_view paragraph) {
  if (paragraph.empty()) return;
  text += '\n';
  text += paragraph;
  if (paragraph.back() != '\n') text += '\n';
}

class Parser {
 public:
  Parser(const ProgramHelp& program, const std::vector<CommandOption>& options, std::ostream& out,
         std::ostream& err)
      : program_(program), options_(options), out_(out), err_(err) {}

  ParsedCommandLine Parse(const std::vector<std::string>& args) {
    bool literal = false;
    for (size_t i = 0; i < args.size() && result_.run; ++i) {
      const std::string& arg = args[i];
      if (literal || arg.size() < 2 || arg[0] != '-') {
        result_.operands.push_back(arg);
        continue;
      }
      if (arg == "--") {
        literal = true;
        result_.operandsBeforeDashes = result_.operands.size();
        continue;
      }
      Option(args, i);
    }
    if (!literal) result_.operandsBeforeDashes = result_.operands.size();
    return std::move(result_);
  }

 private:
  // One option at args[i]; i moves past a value given as the next argument.
  void Option(const std::vector<std::string>& args, size_t& i) {
    const std::string& arg = args[i];
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name == "--help" || name == "-h") return Exit(HelpText(program_, options_));
    if (name == "--version")
      return Exit(std::string(program_.name) + " " + std::string(ProgramVersion()) + "\n");

    const auto found = std::find_if(options_.begin(), options_.end(),
                                    [&](const CommandOption& o) { return o.name == name; });
    if (found == options_.end()) return Mistake("unknown option " + name);
    std::string value;
    if (found->value.empty()) {
      if (equals != std::string::npos) return Mistake(name + " takes no value");
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return Mistake(name + " needs a value");
    }
    if (std::string why = found->take(value); !why.empty()) Mistake(why);
  }

  void Exit(const std::string& text) {
    out_ << text << std::flush;
    result_.run = false;
    result_.exitCode = 0;
  }

  void Mistake(const std::string& what) {
    err_ << program_.name << ": " << what << "\nTry '" << program_.name << " --help'.\n"
         << std::flush;
    result_.run = false;
    result_.exitCode = 2;
  }

  const ProgramHelp& program_;
  const std::vector<CommandOption>& options_;
  std::ostream& out_;
  std::ostream& err_;
  ParsedCommandLine result_;
};

}  // namespace

ParsedCommandLine ParseCommandLine(const ProgramHelp& program,
                                   const std::vector<CommandOption>& options,
                                   const std::vector<std::string>& args, std::ostream& out,
                                   std::ostream& err) {
  return Parser(program, options, out, err).Parse(args);
}

std::function<std::string(const std::string&)> StoreIn(std::string& field) {
  return [&field](const std::string& value) {
    field = value;
    return std::string();
  };
}

std::function<std::string(const std::string&)> SetFlag(bool& field, bool value) {
  return [&field, value](const std::string&) {
    field = value;
    return std::string();
  };
}

std::vector<std::string> ArgumentList(int argc, char** argv) {
  return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

std::string HelpText(const ProgramHelp& program, const std::vector<CommandOption>& options) {
  std::string text(program.synopsis);
  if (!text.empty() && text.back() != '\n') text += '\n';
  AppendParagraph(text, program.summary);
  text += "\nOptions:\n";
  for (const CommandOption& option : options) AppendOption(text, option);
  AppendOption(text, kHelpOption);
  AppendOption(text, kVersionOption);
  AppendParagraph(text, program.details);
  return text;
}

std::string_view ProgramVersion() {
  return QUOBBLE_VERSION;
}

}  // namespace quobble
