#pragma once

#include <string_view>

namespace norvi {

// Hands all of `bytes` to the descriptor, retrying short writes and EINTR, with no user-space
// buffering. Returns false when the descriptor refused the bytes (for example EPIPE); what
// was written up to then stays written.
bool writeAll(int fd, std::string_view bytes);

}  // namespace norvi
