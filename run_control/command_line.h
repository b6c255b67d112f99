#ifndef DLLTALLY_RUN_CONTROL_COMMAND_LINE_H_
#define DLLTALLY_RUN_CONTROL_COMMAND_LINE_H_

#include <string>
#include <vector>

// Splits a Windows command line into the arguments after the program's own
// name. Arguments are separated by runs of characters 1 to 32; a double
// quote opens a stretch up to the next one in which those characters belong
// to the argument, and the quotes are dropped; there is no escape. A pair of
// quotes where an argument would begin is skipped like a separator. The
// arguments end at the first empty piece. Every argument is taken whole,
// whatever its length.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

#endif  // DLLTALLY_RUN_CONTROL_COMMAND_LINE_H_
