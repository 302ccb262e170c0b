#pragma once

#include <string>
#include <string_view>

namespace Tessaro::Ravelin {

// What follows the program name in the process's command line, read as the system's own parser
// reads the name: it ends at the first blank or tab outside double quotes (a quote only groups,
// nothing escapes it), and the blanks and tabs after it belong to no argument.
std::wstring_view ArgumentsAfterProgramName(std::wstring_view processCommandLine);

// Upper-cases UTF-8 text in place. Short ASCII text is mapped byte by byte; anything else goes
// through UTF-16 and the user's default locale. Raises ConversionException for invalid UTF-8.
void ToUpper(std::string& text);

// True when the first occurrence of the switch in the upper-cased command line is followed by a
// space or the end of the text. Later occurrences are not examined.
bool FindSwitch(const std::string& upperCommandLine, const std::string& switchWord);

// The upper-cased value after the first occurrence of the key (which ends in "="): up to the
// next space, or, when it starts with a double quote, up to the closing quote (or the end).
std::string GetOptionValue(const std::string& commandLine, const std::string& optionKey);

}  // namespace Tessaro::Ravelin
