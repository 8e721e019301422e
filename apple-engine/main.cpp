#include "apple-engine/engine_main.h"

int main(int argc, char** argv) {
    return norvi::engine::runEngineProgram(argc, argv);
}
