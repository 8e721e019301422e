#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvi::engine {

// Sample types of PCM audio formats.
enum class CommonFormat { pcmFormatFloat32, pcmFormatFloat64, pcmFormatInt16, pcmFormatInt32 };

struct AudioFormat {
    CommonFormat commonFormat = CommonFormat::pcmFormatInt16;
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
    bool interleaved = true;

    bool operator==(const AudioFormat&) const = default;
};

// One line for people: "16000.0 Hz, 1 ch, int16, interleaved".
std::string describeAudioFormat(const AudioFormat& format);

// Frames of one format with a capacity and a valid length. Interleaved audio is one plane of
// frames × channels samples; otherwise each channel has its own plane.
class PcmBuffer {
  public:
    PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    // Channel 0's 16-bit samples (the whole interleaved plane), or null unless the format's
    // samples are 16-bit integers.
    std::int16_t* int16ChannelData();
    const std::int16_t* int16ChannelData() const;

    // Any sample type, as a value from -1 to 1 (integers scaled by their full range).
    double sample(std::uint32_t frame, std::uint32_t channel) const;
    // Stores a value from -1 to 1 in the buffer's sample type, clipped and rounded.
    void setSample(std::uint32_t frame, std::uint32_t channel, double value);
    // Stores `count` mono values from `firstFrame` on, the same value in every channel.
    void setMonoFrames(std::uint32_t firstFrame, const double* values, std::uint32_t count);

  private:
    template <typename T>
    void storeMono(std::vector<std::vector<T>>& planes, std::uint32_t firstFrame,
                   const double* values, std::uint32_t count, double scale);
    std::size_t planeIndex(std::uint32_t channel) const;
    std::size_t sampleIndex(std::uint32_t frame, std::uint32_t channel) const;

    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<std::vector<std::int16_t>> int16_;
    std::vector<std::vector<std::int32_t>> int32_;
    std::vector<std::vector<float>> float32_;
    std::vector<std::vector<double>> float64_;
};

enum class ConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };

// Asked by a conversion for input: the status and, with haveData, the buffer.
using ConverterInputBlock =
    std::function<ConverterInputStatus(std::shared_ptr<const PcmBuffer>& input)>;

class AudioConverter {
  public:
    virtual ~AudioConverter() = default;
    // Fills `output` (setting its frame length) from the input the block hands over. Returns
    // the error's description on failure.
    virtual std::optional<std::string> convert(PcmBuffer& output,
                                               const ConverterInputBlock& inputBlock) = 0;
};

// Audio formats, PCM buffers and format converters.
class AudioConversion {
  public:
    virtual ~AudioConversion() = default;
    virtual std::optional<AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                                  std::uint32_t channels, bool interleaved) = 0;
    // Null when the buffer cannot be made.
    virtual std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format,
                                                  std::uint32_t frameCapacity) = 0;
    // Null when the two formats cannot be converted.
    virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                          const AudioFormat& to) = 0;
};

}  // namespace norvi::engine
