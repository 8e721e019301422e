#include "support/fd_write.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace norvi {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::string standardOutputWriteFailure(int errorNumber) {
    // The generic category gives the C library's text without its thread-unsafe buffer.
    return "Failed to write to standard output: " + std::generic_category().message(errorNumber);
}

}  // namespace norvi
