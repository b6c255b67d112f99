#include "run_control/standard_output.h"

#include <algorithm>

#include "run_control/console.h"
#include "run_control/failure.h"

StandardOutput::StandardOutput(Console* console, std::size_t buffer_size)
    : console_(console), buffer_size_(buffer_size) {
  buffer_.reserve(buffer_size_);
}

std::string StandardOutput::WriteBuffer() {
  std::string failure;
  if (!buffer_.empty()) failure = console_->WriteOutput(buffer_.data(), buffer_.size());
  buffer_.clear();
  return failure;
}

void StandardOutput::Write(std::string_view text) {
  // Most statements of a file or pipe just go into the buffer.
  if (opened_ && !character_device_ && open_failure_.empty() &&
      text.size() < buffer_size_ - buffer_.size()) {
    buffer_.append(text);
    return;
  }
  if (!opened_) {
    opened_ = true;
    open_failure_ = console_->OpenOutput(&character_device_);
  }
  if (!open_failure_.empty()) RaiseFailure("EInOutError", open_failure_);

  std::string failure;
  while (!text.empty()) {
    std::size_t room = buffer_size_ - buffer_.size();
    std::size_t take = std::min(room, text.size());
    buffer_.append(text.substr(0, take));
    text.remove_prefix(take);
    if (buffer_.size() == buffer_size_) {
      failure = WriteBuffer();
      if (!failure.empty()) break;  // the rest of the statement is dropped
    }
  }
  if (failure.empty() && character_device_) failure = WriteBuffer();
  if (!failure.empty()) RaiseFailure("EInOutError", failure);
}

bool StandardOutput::WriteRemainder() {
  if (!opened_ || !open_failure_.empty()) return buffer_.empty();
  return WriteBuffer().empty();
}
