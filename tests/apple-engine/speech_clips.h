#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvi::engine::testing {

// 16 kHz mono 16-bit little-endian PCM of a sentence spoken by flite's "slt" voice (the
// clearest of its voices for the recognizer), made with flite and sox in `directory`. Throws
// std::runtime_error naming the missing program or the failed step.
std::string spokenClip(const std::string& directory, const std::string& text);

// Silence in the same format.
std::string silence(double seconds);

// Sentences spoken one after the other, each followed by `gapSeconds` of silence, and where
// each clip lies in the result.
struct JoinedClips {
    struct Clip {
        std::string text;
        std::int64_t startMs = 0;
        std::int64_t endMs = 0;
    };
    std::string pcm;
    std::vector<Clip> clips;
};
JoinedClips joinedClips(const std::string& directory, const std::vector<std::string>& texts,
                        double gapSeconds = 1.0);

// Word error rate: word substitutions, insertions and deletions over the reference's words,
// ignoring case.
double wordErrorRate(const std::string& reference, const std::string& hypothesis);

}  // namespace norvi::engine::testing
