// One IO cycle of the tap's aggregate device with arbitrary stream formats and buffer lists
// (counts, channel numbers, sizes that are no whole frame, null data) through the mono mix,
// then through the PCM writer as the tap's probe hands it on.
// The sanitizers catch any read outside the buffers. The mix is as long as the longest buffer's
// whole frames, or nothing; a reused mixer gives what a fresh one gives; each frame is the sum
// over the streams of the mean of their channels (checked in double precision wherever the
// samples are moderate); and whatever the mix holds, the writer's 16-bit samples stay within
// the limiter's ceiling.
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/core/stderr_writer.h"
#include "audio-helper/tap/microphone_selection.h"

using namespace norvi::helper;

// The writer's first-chunk line is of no interest here.
void norvi::helper::writeStderr(std::string_view) {}

namespace {

// A buffer list whose buffers own exactly the bytes they declare.
struct Cycle {
    std::vector<AudioStreamBasicDescription> formats;
    AudioBufferListStorage storage = AudioBufferListStorage::allocate(0);
    std::vector<std::vector<std::uint8_t>> data;
};

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        count = std::min(count, size_ - std::min(offset_, size_));
        std::vector<std::uint8_t> taken(data_ + offset_, data_ + offset_ + count);
        offset_ += count;
        return taken;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Raw float bits (any value), or 16-bit values scaled to -1..1 as a device would deliver them.
Cycle readCycle(Input& input, bool raw) {
    Cycle cycle;
    const std::size_t formatCount = input.byte() % 8;
    for (std::size_t i = 0; i < formatCount; ++i) {
        const std::uint8_t shape = input.byte();
        AudioStreamBasicDescription format{};
        format.mSampleRate = 48000;
        format.mFormatID = kAudioFormatLinearPCM;
        format.mFormatFlags =
            kAudioFormatFlagIsFloat | (shape & 1 ? kAudioFormatFlagIsNonInterleaved : 0);
        format.mChannelsPerFrame = (shape >> 1) & 7;
        format.mBitsPerChannel = 32;
        cycle.formats.push_back(format);
    }
    cycle.storage = AudioBufferListStorage::allocate(input.byte() % 9);
    for (AudioBuffer& buffer : audioBuffers(*cycle.storage.list())) {
        const std::uint8_t layout = input.byte();
        const std::size_t size = input.byte() * std::size_t{4} + (layout >> 4 & 3);
        buffer.mNumberChannels = layout & 7;
        std::vector<std::uint8_t> bytes;
        if (raw) {
            bytes = input.bytes(size);
        } else {
            const std::vector<std::uint8_t> values = input.bytes(size / 2);
            for (std::size_t at = 0; at < size; ++at) {
                const std::size_t sample = at / 4;
                std::int16_t value = 0;
                if (2 * sample + 1 < values.size())
                    std::memcpy(&value, &values[2 * sample], 2);
                const float scaled = static_cast<float>(value) / 32768.0f;
                std::uint8_t encoded[4];
                std::memcpy(encoded, &scaled, 4);
                bytes.push_back(encoded[at % 4]);
            }
        }
        // Exactly the declared bytes on the heap, so that any over-read is caught.
        auto& stored = cycle.data.emplace_back(bytes.begin(), bytes.end());
        buffer.mDataByteSize = static_cast<std::uint32_t>(stored.size());
        buffer.mData = (layout & 8) || stored.empty() ? nullptr : stored.data();
    }
    return cycle;
}

float floatAt(const AudioBuffer& buffer, std::size_t index) {
    float value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(buffer.mData) + 4 * index, 4);
    return value;
}

std::size_t channelsOf(const AudioBuffer& buffer) {
    return buffer.mNumberChannels >= 2 ? buffer.mNumberChannels : 1;
}

std::size_t framesOf(const AudioBuffer& buffer) {
    if (buffer.mData == nullptr)
        return 0;
    return buffer.mDataByteSize / (4 * channelsOf(buffer));
}

// The mix in double precision with the error bound of each frame, or nothing when a sample is
// too large (or not finite) for a bound to mean anything.
struct Expected {
    std::vector<double> values;
    std::vector<double> magnitudes;
};

std::optional<Expected> expectedMix(const Cycle& cycle) {
    const std::span<const AudioBuffer> buffers = audioBuffers(*cycle.storage.list());
    std::vector<std::size_t> groups;
    std::size_t assigned = 0;
    for (const AudioStreamBasicDescription& format : cycle.formats) {
        const bool split = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) &&
                           format.mChannelsPerFrame > 1;
        groups.push_back(split ? format.mChannelsPerFrame : 1);
        assigned += groups.back();
    }
    if (assigned != buffers.size())
        groups.assign(buffers.size(), 1);
    Expected expected;
    std::size_t next = 0;
    for (const std::size_t group : groups) {
        for (std::size_t b = 0; b < group; ++b) {
            const AudioBuffer& buffer = buffers[next + b];
            const std::size_t channels = channelsOf(buffer);
            const std::size_t frames = framesOf(buffer);
            if (expected.values.size() < frames) {
                expected.values.resize(frames, 0.0);
                expected.magnitudes.resize(frames, 0.0);
            }
            for (std::size_t frame = 0; frame < frames; ++frame) {
                for (std::size_t channel = 0; channel < channels; ++channel) {
                    const float sample = floatAt(buffer, frame * channels + channel);
                    if (!(std::fabs(sample) <= 1e6f))
                        return std::nullopt;
                    expected.values[frame] += sample / double(channels) / double(group);
                    expected.magnitudes[frame] +=
                        std::fabs(sample) / double(channels) / double(group);
                }
            }
        }
        next += group;
    }
    return expected;
}

bool sameBits(std::span<const float> a, std::span<const float> b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

// What the writer makes of the mix, repeated until a chunk is due: every sample within ±32111.
void checkConverted(std::span<const float> mixed) {
    const int fd = ::memfd_create("pcm-json-lines", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    {
        PcmJsonLineWriter writer("fuzz", fd);
        // At 4 kHz each input sample gives four output samples: 401 of them make a chunk.
        for (std::size_t given = 0; given < 401; given += mixed.size()) {
            writer.recordMonoSamples(mixed, 4000);
        }
        writer.flush();
    }
    std::string text;
    char buffer[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, count);
    ::close(fd);
    std::size_t chunks = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            std::abort();
        nlohmann::json record =
            nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
        start = end + 1;
        if (!record.is_object() || record["type"] != "pcm_s16le" || record["frames"] != 1600 ||
            !record["data"].is_string()) {
            std::abort();
        }
        const std::string data = record["data"].get<std::string>();
        if (data.size() != 4268)
            std::abort();
        // 3200 bytes: 1066 whole groups of three and two bytes in the last group.
        static const std::string alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::vector<std::uint8_t> bytes;
        std::uint32_t group = 0;
        int bits = 0;
        for (const char c : std::string_view(data).substr(0, 4267)) {
            const std::size_t value = alphabet.find(c);
            if (value == std::string::npos)
                std::abort();
            group = group << 6 | static_cast<std::uint32_t>(value);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(static_cast<std::uint8_t>(group >> bits));
            }
        }
        if (data.back() != '=' || bytes.size() != 3200)
            std::abort();
        for (std::size_t at = 0; at < bytes.size(); at += 2) {
            const auto sample = static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8);
            if (sample < -32111 || sample > 32111)
                std::abort();
        }
        ++chunks;
    }
    if (chunks == 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Input input(data + 1, size - 1);
    const Cycle cycle = readCycle(input, data[0] & 1);
    const AudioBufferList& list = *cycle.storage.list();

    std::size_t longest = 0;
    for (const AudioBuffer& buffer : audioBuffers(list))
        longest = std::max(longest, framesOf(buffer));
    const std::optional<std::vector<float>> fresh = mixInputStreamsToMono(list, cycle.formats);
    if (fresh.has_value() != (longest > 0))
        std::abort();
    if (fresh && fresh->size() != longest)
        std::abort();

    // A mixer that has mixed other cycles before (a longer one, then the same buffers each as a
    // stream of its own) gives what a fresh one gives.
    std::vector<float> ones(longest + 7, 1.0f);
    AudioBufferListStorage longer = AudioBufferListStorage::allocate(1);
    audioBuffers(*longer.list())[0] = {1, static_cast<std::uint32_t>(ones.size() * 4), ones.data()};
    InputStreamMixer reused;
    reused.mix(*longer.list(), {});
    reused.mix(list, {});
    const std::span<const float> again = reused.mix(list, cycle.formats);
    if (!sameBits(again, fresh ? std::span<const float>(*fresh) : std::span<const float>()))
        std::abort();
    if (!fresh)
        return 0;

    if (const std::optional<Expected> expected = expectedMix(cycle)) {
        for (std::size_t frame = 0; frame < longest; ++frame) {
            const double error = std::fabs((*fresh)[frame] - expected->values[frame]);
            if (!(error <= 1e-5 * (1 + expected->magnitudes[frame])))
                std::abort();
        }
    }
    checkConverted(*fresh);
    return 0;
}
