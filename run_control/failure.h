#ifndef DLLTALLY_RUN_CONTROL_FAILURE_H_
#define DLLTALLY_RUN_CONTROL_FAILURE_H_

#include <cstdint>
#include <string>

// A typed failure. It is raised where it arises and caught by nobody but the
// run's top-level failure report, which prints the type name, the address
// and the message.
struct Failure {
  std::string type_name;  // "EConvertError", "ERegistryException", ...
  std::string message;
  std::uint32_t address;  // code address of the raise site, image-relative
};

// Throws a Failure whose address is the code address of the caller.
[[noreturn]] void RaiseFailure(const char* type_name, std::string message);

// Places text into the one "%s" of message_template. A result longer than
// 4096 characters raises EConvertError "Format result longer than 4096
// characters" instead, as every templated text of the system does.
std::string FormatText(const char* message_template, const std::string& text);

// Raises EConvertError when a formatted text is longer than 4096 characters.
void CheckFormatResultLength(const std::string& text);

#endif  // DLLTALLY_RUN_CONTROL_FAILURE_H_
