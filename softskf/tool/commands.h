// The softskf commands: each takes a parsed command line, works on the token
// store named by SOFTSKF_DIR (or its default) and writes its report to out.
// Failures are thrown as ToolError or StoreError; main turns them into a
// message on stderr and a non-zero exit.
#pragma once

#include "args.h"

#include <ostream>
#include <vector>

namespace softskf_tool {

// The command table: words, arguments, options and help of every command.
const std::vector<CommandDef>& CommandTable();

// Runs a parsed invocation whose command is set and help is not.
void RunCommand(const Invocation& inv, std::ostream& out);

}  // namespace softskf_tool
