#pragma once

#include <string>
#include <string_view>

namespace norvi {

// Hands all of `bytes` to the descriptor, retrying short writes and EINTR, with no user-space
// buffering. Returns false when the descriptor refused the bytes (for example EPIPE); what
// was written up to then stays written.
bool writeAll(int fd, std::string_view bytes);

// The message a program ends with once standard output refuses its records, for the error
// number of the failed write: "Failed to write to standard output: Broken pipe".
std::string standardOutputWriteFailure(int errorNumber);

}  // namespace norvi
