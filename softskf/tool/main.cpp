// softskf: provisions the software SKF token (see `softskf --help`).
#include "commands.h"
#include "store.h"
#include "tool_ossl.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
  using namespace softskf_tool;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << "softskf: no command given\n" << OverallHelp(CommandTable());
    return 2;
  }
  try {
    const Invocation inv = Parse(CommandTable(), args);
    if (inv.help) {
      std::cout << (inv.command ? CommandHelp(*inv.command) : OverallHelp(CommandTable()));
      return 0;
    }
    RunCommand(inv, std::cout);
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const UsageError& e) {
    std::cerr << "softskf: " << e.message << "\n";
    if (e.command != nullptr) {
      std::cerr << "usage: " << UsageLine(*e.command) << "\n";
    } else {
      std::cerr << "run 'softskf --help' for the list of commands\n";
    }
    return 2;
  } catch (const ToolError& e) {
    std::cerr << "softskf: " << e.what() << "\n";
  } catch (const softskf::StoreError& e) {
    std::cerr << "softskf: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "softskf: unexpected failure: " << e.what() << "\n";
  }
  return 1;
}
