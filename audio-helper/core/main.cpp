#include "audio-helper/core/audio_helper.h"

int main(int argc, char** argv) { return norvi::helper::runAudioHelperProgram(argc, argv); }
