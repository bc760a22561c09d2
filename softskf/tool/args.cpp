#include "args.h"

#include <algorithm>
#include <sstream>

namespace softskf_tool {

namespace {

std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) {
    out += (out.empty() ? "" : " ") + w;
  }
  return out;
}

// The command whose words are the longest prefix of argv. Commands that share
// a first word ("app create", "app delete") are told apart by the second.
const CommandDef* Match(const std::vector<CommandDef>& table, const std::vector<std::string>& argv,
                         size_t* consumed) {
  const CommandDef* best = nullptr;
  for (const CommandDef& c : table) {
    if (c.words.size() > argv.size() ||
        !std::equal(c.words.begin(), c.words.end(), argv.begin())) {
      continue;
    }
    if (best == nullptr || c.words.size() > best->words.size()) {
      best = &c;
    }
  }
  *consumed = best ? best->words.size() : 0;
  return best;
}

const OptionDef* FindOption(const CommandDef& c, const std::string& name) {
  for (const OptionDef& o : c.options) {
    if (o.name == name) {
      return &o;
    }
  }
  return nullptr;
}

}  // namespace

std::string Invocation::Get(const std::string& option, const std::string& fallback) const {
  const auto it = options.find(option);
  return it == options.end() ? fallback : it->second;
}

Invocation Parse(const std::vector<CommandDef>& table, const std::vector<std::string>& argv) {
  Invocation inv;
  if (argv.empty() || argv[0] == "--help" || argv[0] == "-h" || argv[0] == "help") {
    inv.help = true;
    if (argv.size() > 1 && argv[0] == "help") {
      size_t consumed = 0;
      inv.command = Match(table, {argv.begin() + 1, argv.end()}, &consumed);
      if (inv.command == nullptr) {
        throw UsageError{"unknown command '" + Joined({argv.begin() + 1, argv.end()}) + "'", nullptr};
      }
    }
    return inv;
  }
  size_t consumed = 0;
  inv.command = Match(table, argv, &consumed);
  if (inv.command == nullptr) {
    // Name the group when the first word is one ("app frobnicate").
    const bool group = std::any_of(table.begin(), table.end(), [&](const CommandDef& c) {
      return c.words.size() > 1 && c.words[0] == argv[0];
    });
    const std::string shown = group && argv.size() > 1 ? argv[0] + " " + argv[1] : argv[0];
    throw UsageError{"unknown command '" + shown + "'", nullptr};
  }
  const CommandDef& c = *inv.command;
  for (size_t i = consumed; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (a == "--help" || a == "-h") {
      inv.help = true;
      return inv;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::optional<std::string> value;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      const OptionDef* o = FindOption(c, name);
      if (o == nullptr) {
        throw UsageError{"unknown option --" + name + " for '" + Joined(c.words) + "'", &c};
      }
      if (o->value.empty()) {
        if (value) {
          throw UsageError{"option --" + name + " takes no value", &c};
        }
        inv.options[name] = "";
        continue;
      }
      if (!value) {
        if (i + 1 >= argv.size()) {
          throw UsageError{"option --" + name + " needs a value (" + o->value + ")", &c};
        }
        value = argv[++i];
      }
      inv.options[name] = *value;
      continue;
    }
    if (inv.args.size() == c.positionals.size()) {
      throw UsageError{"unexpected argument '" + a + "' for '" + Joined(c.words) + "'", &c};
    }
    inv.args.push_back(a);
  }
  const size_t needed = static_cast<size_t>(std::count_if(
      c.positionals.begin(), c.positionals.end(), [](const std::string& p) { return p.compare(0, 1, "[") != 0; }));
  if (inv.args.size() < needed) {
    throw UsageError{"missing " + c.positionals[inv.args.size()] + " for '" + Joined(c.words) + "'", &c};
  }
  for (const std::string& r : c.required) {
    if (!inv.Has(r)) {
      throw UsageError{"missing --" + r + " for '" + Joined(c.words) + "'", &c};
    }
  }
  return inv;
}

std::string UsageLine(const CommandDef& c) {
  std::string line = "softskf " + Joined(c.words);
  for (const std::string& p : c.positionals) {
    line += " " + p;
  }
  for (const OptionDef& o : c.options) {
    const bool required = std::find(c.required.begin(), c.required.end(), o.name) != c.required.end();
    const std::string text = "--" + o.name + (o.value.empty() ? "" : " " + o.value);
    line += required ? " " + text : " [" + text + "]";
  }
  return line;
}

std::string CommandHelp(const CommandDef& c) {
  std::ostringstream out;
  out << "usage: " << UsageLine(c) << "\n\n" << c.summary << "\n";
  if (!c.options.empty()) {
    out << "\noptions:\n";
    for (const OptionDef& o : c.options) {
      std::string text = "--" + o.name + (o.value.empty() ? "" : " " + o.value);
      text.resize(std::max<size_t>(text.size() + 2, 22), ' ');
      out << "  " << text << o.help << "\n";
    }
  }
  return out.str();
}

std::string OverallHelp(const std::vector<CommandDef>& table) {
  std::ostringstream out;
  out << "usage: softskf COMMAND [ARGS...]   (softskf COMMAND --help for details)\n\n"
         "Provisions the software SKF token: its store is the directory named by\n"
         "SOFTSKF_DIR (see 'softskf list' for where it is).\n\ncommands:\n";
  for (const CommandDef& c : table) {
    std::string words = Joined(c.words);
    words.resize(std::max<size_t>(words.size() + 2, 20), ' ');
    const std::string first = c.summary.substr(0, c.summary.find('\n'));
    out << "  " << words << first << "\n";
  }
  return out.str();
}

}  // namespace softskf_tool
