#include "tests/apple-engine/speech_clips.h"

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tests/support/process_runner.h"

namespace norvi::engine::testing {
namespace {

// The program's path on PATH; setup installs every program the clips need.
std::string programOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error(name + " is not installed (scripts/setup.sh installs it).");
}

void run(const std::string& program, const std::vector<std::string>& arguments) {
    norvi::testing::ProcessOptions options;
    options.arguments = arguments;
    const norvi::testing::ProcessResult result =
        norvi::testing::runProcess(programOnPath(program), options);
    if (result.exitStatus != 0) {
        throw std::runtime_error(program + " failed: " + result.standardError);
    }
}

std::vector<std::string> lowerCaseWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream stream(text);
    std::string word;
    while (stream >> word) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(word);
    }
    return words;
}

}  // namespace

std::string spokenClip(const std::string& directory, const std::string& text) {
    static int clips = 0;
    const std::string stem = directory + "/clip" + std::to_string(++clips);
    run("flite", {"-voice", "slt", "-t", text, "-o", stem + ".wav"});
    run("sox", {stem + ".wav", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "-L",
                "-t", "raw", stem + ".raw"});
    return norvi::testing::readFile(stem + ".raw");
}

std::string silence(double seconds) {
    return std::string(static_cast<std::size_t>(seconds * 16000) * 2, '\0');
}

JoinedClips joinedClips(const std::string& directory, const std::vector<std::string>& texts,
                        double gapSeconds) {
    JoinedClips joined;
    for (const std::string& text : texts) {
        const std::string clip = spokenClip(directory, text);
        const auto startMs = static_cast<std::int64_t>(joined.pcm.size() / 32);
        joined.pcm += clip;
        joined.clips.push_back({text, startMs, static_cast<std::int64_t>(joined.pcm.size() / 32)});
        joined.pcm += silence(gapSeconds);
    }
    return joined;
}

double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
    const std::vector<std::string> expected = lowerCaseWords(reference);
    const std::vector<std::string> heard = lowerCaseWords(hypothesis);
    // Edit distance over words, one row at a time.
    std::vector<std::size_t> previous(heard.size() + 1);
    for (std::size_t column = 0; column <= heard.size(); ++column)
        previous[column] = column;
    for (std::size_t row = 1; row <= expected.size(); ++row) {
        std::vector<std::size_t> current(heard.size() + 1);
        current[0] = row;
        for (std::size_t column = 1; column <= heard.size(); ++column) {
            const std::size_t substitution =
                previous[column - 1] + (expected[row - 1] == heard[column - 1] ? 0 : 1);
            current[column] =
                std::min({substitution, previous[column] + 1, current[column - 1] + 1});
        }
        previous = std::move(current);
    }
    return expected.empty()
               ? 0.0
               : static_cast<double>(previous.back()) / static_cast<double>(expected.size());
}

}  // namespace norvi::engine::testing
