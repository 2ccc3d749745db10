#include "cli/completions.h"

#include "cli/arguments.h"

namespace cli {
namespace {

// What the shells offer for --encoding and --codepage: the readings, then the code pages users
// of these files meet most (iconv knows many more, and takes them all).
constexpr std::string_view kCodePages = "CP1251 KOI8-R KOI8-U CP866 ISO-8859-5 MACCYRILLIC CP1252";
// The numbers of the kept runs, newest last, as --runs lists them ("3-20261209-171306  …").
constexpr std::string_view kRunNumbers =
    "tarvel-cli --runs 2>/dev/null | sed -n 's/^\\([0-9][0-9]*\\)-.*/\\1/p'";

// An option's first line of help, for the shells that show one: up to its first ";" or ":",
// without the characters a shell's quoting would take for its own.
std::string summary(const OptionSpec& o) {
  std::string_view first = o.help.substr(0, o.help.find('\n'));
  first = first.substr(0, first.find_first_of(";:"));
  std::string out;
  for (const char c : first) {
    if (c == '\'' || c == '"' || c == '[' || c == ']' || c == '\\' || c == '`' || c == '$' ||
        c == '{' || c == '}') {
      continue;
    }
    out += c;
  }
  // A parenthesis the cut left open goes, with what follows it.
  if (const auto open = out.rfind('(');
      open != std::string::npos && out.find(')', open) == std::string::npos) {
    out.erase(open);
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == ',')) out.pop_back();
  return out.empty() ? std::string(o.name) : out;
}

std::string bash() {
  std::string files, encodings, colours, runs, others, all;
  for (const OptionSpec& o : Options()) {
    std::string names(o.name);
    if (o.shortName != 0) names += std::string("|-") + o.shortName;
    all += " " + std::string(o.name);
    if (o.shortName != 0) all += std::string(" -") + o.shortName;
    if (o.kind == Kind::Flag && o.values != Values::Run) continue;
    switch (o.values) {
      case Values::File:
        files += (files.empty() ? "" : "|") + names;
        break;
      case Values::Encoding:
      case Values::CodePage:
        encodings += (encodings.empty() ? "" : "|") + names;
        break;
      case Values::Colour:
        colours += (colours.empty() ? "" : "|") + names;
        break;
      case Values::Run:
        runs += (runs.empty() ? "" : "|") + names;
        break;
      default:
        others += (others.empty() ? "" : "|") + names;
        break;
    }
  }
  // A group no option is in matches no word.
  for (std::string* group : {&files, &encodings, &colours, &runs, &others}) {
    if (group->empty()) *group = "--no-such-option";
  }
  return "# bash completion for tarvel-cli (made by tarvel-cli --completion bash)\n"
         "_tarvel_cli() {\n"
         "  local cur prev words cword\n"
         "  _init_completion || return\n"
         "  case $prev in\n"
         "    " +
         files +
         ")\n"
         "      _filedir\n"
         "      return ;;\n"
         "    --encoding)\n"
         "      mapfile -t COMPREPLY < <(compgen -W \"auto utf-8 " +
         std::string(kCodePages) +
         "\" -- \"$cur\")\n"
         "      return ;;\n"
         "    " +
         encodings +
         ")\n"
         "      mapfile -t COMPREPLY < <(compgen -W \"" +
         std::string(kCodePages) +
         "\" -- \"$cur\")\n"
         "      return ;;\n"
         "    " +
         colours +
         ")\n"
         "      mapfile -t COMPREPLY < <(compgen -W \"auto always never\" -- \"$cur\")\n"
         "      return ;;\n"
         "    --completion)\n"
         "      mapfile -t COMPREPLY < <(compgen -W \"bash zsh fish\" -- \"$cur\")\n"
         "      return ;;\n"
         "    " +
         runs +
         ")\n"
         "      local extra=\n"
         "      [ \"$prev\" = --forget ] && extra=all\n"
         "      mapfile -t COMPREPLY < <(compgen -W \"$(" +
         std::string(kRunNumbers) +
         ") $extra\" -- \"$cur\")\n"
         "      return ;;\n"
         "    " +
         others +
         ")\n"
         "      return ;;\n"
         "  esac\n"
         "  if [[ $cur == -* ]]; then\n"
         "    mapfile -t COMPREPLY < <(compgen -W \"" +
         all.substr(1) +
         "\" -- \"$cur\")\n"
         "    return\n"
         "  fi\n"
         "  _filedir\n"
         "}\n"
         "complete -F _tarvel_cli tarvel-cli\n";
}

std::string zsh() {
  std::string out =
      "#compdef tarvel-cli\n"
      "# zsh completion for tarvel-cli (made by tarvel-cli --completion zsh)\n"
      "_tarvel_cli_runs() {\n"
      "  local -a runs\n"
      "  runs=(${(f)\"$(" +
      std::string(kRunNumbers) +
      ")\"})\n"
      "  compadd -a runs\n"
      "  [[ $1 == all ]] && compadd all\n"
      "}\n"
      "_arguments -s -S \\\n";
  for (const OptionSpec& o : Options()) {
    std::string action;
    switch (o.values) {
      case Values::File:
        action = ":файл:_files";
        break;
      case Values::Encoding:
        action = ":кодировка:(auto utf-8 " + std::string(kCodePages) + ")";
        break;
      case Values::CodePage:
        action = ":кодовая страница:(" + std::string(kCodePages) + ")";
        break;
      case Values::Colour:
        action = ":когда:(auto always never)";
        break;
      case Values::Shell:
        action = ":оболочка:(bash zsh fish)";
        break;
      case Values::Run:
        action =
            o.name == "--forget" ? ":замена:_tarvel_cli_runs all" : "::замена:_tarvel_cli_runs";
        break;
      case Values::Text:
        action = ":" + std::string(o.value) + ": ";
        break;
      case Values::None:
        break;
    }
    const std::string text = "[" + summary(o) + "]" + action;
    if (o.shortName != 0) {
      out += "  '(-" + std::string(1, o.shortName) + " " + std::string(o.name) + ")'{-" +
             std::string(1, o.shortName) + "," + std::string(o.name) + "}'" + text + "' \\\n";
    } else {
      out += "  '" + std::string(o.name) + (o.kind == Kind::Value ? "=" : "") + text + "' \\\n";
    }
  }
  out += "  '*:путь:_files'\n";
  return out;
}

std::string fish() {
  std::string out =
      "# fish completion for tarvel-cli (made by tarvel-cli --completion fish)\n"
      "complete -c tarvel-cli -F\n";
  for (const OptionSpec& o : Options()) {
    std::string line = "complete -c tarvel-cli -l " + std::string(o.name.substr(2));
    if (o.shortName != 0) line += " -s " + std::string(1, o.shortName);
    switch (o.values) {
      case Values::File:
        line += " -r -F";
        break;
      case Values::Encoding:
        line += " -x -a 'auto utf-8 " + std::string(kCodePages) + "'";
        break;
      case Values::CodePage:
        line += " -x -a '" + std::string(kCodePages) + "'";
        break;
      case Values::Colour:
        line += " -x -a 'auto always never'";
        break;
      case Values::Shell:
        line += " -x -a 'bash zsh fish'";
        break;
      case Values::Run:
        // (fish's own words: no quotes inside the quoted command)
        line += " -x -a '(tarvel-cli --runs 2>/dev/null | string match -r -- ^[0-9]+)" +
                std::string(o.name == "--forget" ? " all'" : "'");
        break;
      case Values::Text:
        line += " -x";
        break;
      case Values::None:
        break;
    }
    out += line + " -d '" + summary(o) + "'\n";
  }
  return out;
}

}  // namespace

std::string CompletionScript(std::string_view shell) {
  if (shell == "bash") return bash();
  if (shell == "zsh") return zsh();
  return fish();
}

}  // namespace cli
