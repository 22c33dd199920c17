// The commands of the halvex tool and the option parsing they share.
#pragma once

#include <cstdint>
#include <string>

namespace halvex::tools {

int CaptureCommand(int argc, char** argv);
int ConvertCommand(int argc, char** argv);
int FormatsCommand(int argc, char** argv);
int PropsCommand(int argc, char** argv);

// Parses a number (decimal, or hexadecimal with 0x) no greater than max.
bool ParseNumber(const char* text, unsigned long max, unsigned long* value);

// Text naming the model codes the driver serves, for help and error messages.
std::string KnownModelsText();

// Reports teardown leaks on stderr; true when there were none.
bool CheckNoLeaks();

}  // namespace halvex::tools
