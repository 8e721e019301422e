#include "audio-helper/core/stderr_writer.h"

#include <unistd.h>

#include "support/fd_write.h"

namespace norvi::helper {

void writeStderr(std::string_view text) { writeAll(STDERR_FILENO, text); }

}  // namespace norvi::helper
