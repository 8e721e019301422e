#include "apple-engine/platform/audio_conversion_linear.h"

#include <cmath>
#include <vector>

namespace norvi::engine {
namespace {

constexpr double maximumRate = 1'000'000;

bool isWholeRate(double rate) {
    return rate >= 1 && rate <= maximumRate && std::floor(rate) == rate;
}

// Linear interpolation between neighbouring input frames. Output frame j sits at input
// position j × inRate / outRate; it is produced once both neighbours have arrived, so the last
// output frames of a block wait for the next block's first input frame.
class LinearConverter final : public AudioConverter {
  public:
    LinearConverter(std::uint64_t inRate, std::uint64_t outRate)
        : inRate_(inRate), outRate_(outRate) {}

    std::optional<std::string> convert(PcmBuffer& output,
                                       const ConverterInputBlock& inputBlock) override {
        output.setFrameLength(0);
        std::uint32_t written = 0;
        for (;;) {
            std::shared_ptr<const PcmBuffer> input;
            if (inputBlock(input) != ConverterInputStatus::haveData) {
                break;
            }
            if (!input) {
                return "The converter was handed no input buffer.";
            }
            written += consume(*input, output, written);
        }
        output.setFrameLength(written);
        return std::nullopt;
    }

  private:
    double inputSample(std::uint64_t index) const {
        return index + 1 == base_ ? previous_ : block_[index - base_];
    }

    std::uint32_t consume(const PcmBuffer& input, PcmBuffer& output, std::uint32_t offset) {
        const std::uint32_t frames = input.frameLength();
        block_.resize(frames);
        if (const std::int16_t* samples = input.int16ChannelData()) {
            for (std::uint32_t i = 0; i < frames; ++i)
                block_[i] = samples[i] / 32768.0;
        } else {
            for (std::uint32_t i = 0; i < frames; ++i)
                block_[i] = input.sample(i, 0);
        }
        const std::uint64_t available = base_ + frames;
        scratch_.clear();
        const std::uint32_t room = output.frameCapacity() - offset;
        while (scratch_.size() < room) {
            const std::uint64_t position = next_ * inRate_;
            const std::uint64_t index = position / outRate_;
            const std::uint64_t remainder = position % outRate_;
            if (index >= available || (remainder != 0 && index + 1 >= available)) {
                break;
            }
            const double left = inputSample(index);
            const double value = remainder == 0
                                     ? left
                                     : left + (inputSample(index + 1) - left) *
                                                  (static_cast<double>(remainder) / outRate_);
            scratch_.push_back(value);
            ++next_;
        }
        if (frames > 0) {
            previous_ = block_.back();
            base_ = available;
        }
        output.setMonoFrames(offset, scratch_.data(), static_cast<std::uint32_t>(scratch_.size()));
        return static_cast<std::uint32_t>(scratch_.size());
    }

    std::uint64_t inRate_;
    std::uint64_t outRate_;
    std::uint64_t next_ = 0;  // the next output frame
    std::uint64_t base_ = 0;  // the input index of block_[0]
    double previous_ = 0;     // the input frame at base_ - 1
    std::vector<double> block_;
    std::vector<double> scratch_;
};

class LinearAudioConversion final : public AudioConversion {
  public:
    std::optional<AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                          std::uint32_t channels, bool interleaved) override {
        if (channels == 0 || !(sampleRate > 0)) {
            return std::nullopt;
        }
        return AudioFormat{commonFormat, sampleRate, channels, interleaved};
    }

    std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format,
                                          std::uint32_t frameCapacity) override {
        return std::make_shared<PcmBuffer>(format, frameCapacity);
    }

    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                  const AudioFormat& to) override {
        if (from.channelCount != 1 || to.channelCount == 0 || !isWholeRate(from.sampleRate) ||
            !isWholeRate(to.sampleRate)) {
            return nullptr;
        }
        return std::make_unique<LinearConverter>(static_cast<std::uint64_t>(from.sampleRate),
                                                 static_cast<std::uint64_t>(to.sampleRate));
    }
};

}  // namespace

std::shared_ptr<AudioConversion> makeLinearAudioConversion() {
    return std::make_shared<LinearAudioConversion>();
}

}  // namespace norvi::engine
