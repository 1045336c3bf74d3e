// The tool's run, from its command line as the system's entry point hands it over.
#pragma once

#include <string>
#include <vector>

// The program's name, then its arguments, in the form paths take inside the
// tool. Gives the exit status.
int RunTool(const std::vector<std::string>& arguments);
