// SPDX-License-Identifier: MIT
// Text that came from a device (serial numbers, device version texts, port
// names) made safe to print: a DAQ is free to send any byte, and neither a
// terminal nor a JSON reader should take those bytes as instructions.
#pragma once

#include <string>

namespace kine_tools {

// For a terminal or a text file: printable ASCII and well-formed UTF-8 stay as
// they are; control characters, DEL, a backslash and bytes that are not valid
// UTF-8 become \xNN escapes, so nothing reaches the terminal as a command.
std::string shownText(const std::string& text);

// A JSON string literal, quotes included, that is always valid UTF-8: control
// characters become \u00XX, and each byte that is not part of valid UTF-8 is
// taken as the code point of the same value (\u00XX).
std::string jsonString(const std::string& text);

}  // namespace kine_tools
