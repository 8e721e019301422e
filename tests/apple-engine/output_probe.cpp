// Test helper: "debug <message>" logs one debug line; "concurrent <count>" writes <count>
// records from each of two threads at once.
#include <string>
#include <thread>

#include "apple-engine/output.h"

using namespace norvi::engine;

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "debug" && argc > 2) {
        logDebug(argv[2]);
        return 0;
    }
    if (mode == "concurrent" && argc > 2) {
        const int count = std::stoi(argv[2]);
        const std::string longText(5000, 'x');
        auto writeMany = [&](bool lines) {
            for (int index = 0; index < count; ++index) {
                if (lines) {
                    writeJSONLine(LineEvent{.id = index, .isFinal = false, .text = longText});
                } else {
                    writeJSONLine(ModelDownloadEvent{.fraction = 0.5});
                }
            }
        };
        std::thread first(writeMany, true);
        std::thread second(writeMany, false);
        first.join();
        second.join();
        return 0;
    }
    return 2;
}
