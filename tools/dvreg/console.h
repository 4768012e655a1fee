// What dvreg says to the operator, in reg.exe's words: the closing line of a
// command that worked, "ERROR: ..." lines, and the Yes/No questions asked
// before a change that /f (or /y) would make without asking.
#pragma once

#include <string>

namespace dvregtool {

enum Exit { kExitSuccess = 0, kExitFailure = 1 };

int Succeeded();
// Prints "ERROR: message" on the standard error; returns kExitFailure.
int Failed(const std::string& message);
// The syntax error, and how to see the operation's usage.
int FailedSyntax(const std::string& operation, const std::string& detail);
int Cancelled();

// Asks the question (which ends in "(Yes/No)?") and reads the answer on the standard input: only an answer of y or yes
// (in any case) is a yes; an empty line, the end of the input or no input at all is a no.
bool Confirm(const std::string& question);

}  // namespace dvregtool
