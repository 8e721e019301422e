#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "apple-engine/platform/speech.h"

namespace norvi::engine {

// Where the recognizer's US English model lives (Debian's pocketsphinx-en-us).
struct PocketsphinxModel {
    std::string acousticModel = "/usr/share/pocketsphinx/model/en-us/en-us";
    std::string languageModel = "/usr/share/pocketsphinx/model/en-us/en-us.lm.bin";
    std::string dictionary = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";
};

// The offline recognizer of the Linux machine: CMU PocketSphinx, in-process, US English only
// (en_US; "en-US" and "en_US" are its equivalents). The model comes from a Debian package, so
// it is installed exactly when its files are there and nothing is ever downloaded. The
// analyzer takes 16 kHz mono 16-bit audio; each utterance, as the recognizer's own speech
// detection finds it, gives a volatile result whenever its partial hypothesis changes and one
// final result when it ends, timed from the start of the stream.
std::shared_ptr<Speech> makePocketsphinxSpeech(PocketsphinxModel model = {});

// A hypothesis as the transcript shows it: fillers (<s>, </s>, <sil>, [NOISE], ++UH++ ...)
// left out, pronunciation-variant tags ("read(2)") removed, the pronoun I capitalised, words
// joined by single spaces.
std::string transcriptText(std::string_view hypothesis);

// A small ARPA language model of the vocabulary's words: every word equally likely, and each
// word of a phrase of several words followed by the next one.
std::string vocabularyLanguageModel(const std::vector<std::vector<std::string>>& phrases);

}  // namespace norvi::engine
