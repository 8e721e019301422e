#include "apple-engine/commands.h"
#include "apple-engine/helper_error.h"

namespace norvi::engine {

asio::awaitable<void> runTranslate(EngineContext&, std::string, std::string) {
    throw HelperError("translate is not implemented yet in this build.");
    co_return;
}

asio::awaitable<void> runCapabilities(EngineContext&) {
    throw HelperError("capabilities is not implemented yet in this build.");
    co_return;
}

}  // namespace norvi::engine
