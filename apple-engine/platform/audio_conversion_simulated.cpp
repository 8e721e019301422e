#include "apple-engine/platform/audio_conversion_simulated.h"

#include "apple-engine/platform/audio_conversion_linear.h"

namespace norvi::engine {
namespace {

// The linear conversion, with the failures a scenario asks for.
class SimulatedAudioConversion final : public AudioConversion {
  public:
    explicit SimulatedAudioConversion(SimulatedAudioConversionOptions options)
        : options_(options) {}

    std::optional<AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                          std::uint32_t channels, bool interleaved) override {
        if (options_.inputFormatFails) {
            return std::nullopt;
        }
        return linear_->makeFormat(commonFormat, sampleRate, channels, interleaved);
    }

    std::shared_ptr<PcmBuffer> makeBuffer(const AudioFormat& format,
                                          std::uint32_t frameCapacity) override {
        return linear_->makeBuffer(format, frameCapacity);
    }

    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                  const AudioFormat& to) override {
        if (options_.converterFails) {
            return nullptr;
        }
        return linear_->makeConverter(from, to);
    }

  private:
    SimulatedAudioConversionOptions options_;
    std::shared_ptr<AudioConversion> linear_ = makeLinearAudioConversion();
};

}  // namespace
std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(
    SimulatedAudioConversionOptions options) {
    return std::make_shared<SimulatedAudioConversion>(options);
}

std::shared_ptr<AudioConversion> makeSimulatedAudioConversion(
    const simulation::Scenario& scenario) {
    const nlohmann::json& speech = scenario.section("speech");
    static const nlohmann::json empty = nlohmann::json::object();
    const auto found = speech.find("audioConversion");
    const nlohmann::json& section = found == speech.end() ? empty : *found;
    constexpr std::string_view where = "speech.audioConversion";
    simulation::requireKnownKeys(section, {"inputFormatFails", "converterFails"}, where);
    return makeSimulatedAudioConversion({
        .inputFormatFails = simulation::boolValue(section, "inputFormatFails", false, where),
        .converterFails = simulation::boolValue(section, "converterFails", false, where),
    });
}

}  // namespace norvi::engine
