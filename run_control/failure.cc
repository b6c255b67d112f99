#include "run_control/failure.h"

#include <utility>

#include "run_control/console.h"

namespace {
constexpr std::size_t kFormatLimit = 4096;
}

// noinline keeps the return address pointing into the raise site itself.
__attribute__((noinline)) void RaiseFailure(const char* type_name,
                                            std::string message) {
  throw Failure{type_name, std::move(message),
                ImageRelativeAddress(__builtin_return_address(0))};
}

__attribute__((noinline)) void CheckFormatResultLength(const std::string& text) {
  if (text.size() > kFormatLimit) {
    throw Failure{"EConvertError", "Format result longer than 4096 characters",
                  ImageRelativeAddress(__builtin_return_address(0))};
  }
}

std::string FormatText(const char* message_template, const std::string& text) {
  std::string result = message_template;
  std::size_t at = result.find("%s");
  if (at != std::string::npos) result.replace(at, 2, text);
  CheckFormatResultLength(result);
  return result;
}
