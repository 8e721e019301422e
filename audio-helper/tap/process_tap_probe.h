#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audio-helper/core/command_options.h"
#include "audio-helper/core/pcm_json_line_writer.h"
#include "audio-helper/tap/microphone_selection.h"
#include "audio-helper/tap/platform/core_audio.h"

namespace norvi::helper {

// What the computer plays, captured through a private global process tap wrapped in a private
// aggregate device (with the chosen microphone as a sub-device when one is asked for), and
// handed to the writer one IO cycle at a time. The owner calls stop() before letting it go.
class ProcessTapProbe {
  public:
    ProcessTapProbe(std::shared_ptr<CoreAudio> coreAudio,
                    std::shared_ptr<PcmJsonLineWriter> streamWriter);
    ~ProcessTapProbe() = default;
    ProcessTapProbe(const ProcessTapProbe&) = delete;
    ProcessTapProbe& operator=(const ProcessTapProbe&) = delete;

    // Throws HelperError; what was created before a failure stays for stop() to release.
    void start(const CommandOptions& options);
    // Releases whatever exists, in reverse order of creation; safe in any state, any number of
    // times.
    void stop();

    const std::optional<AudioStreamBasicDescription>& tapFormat() const { return tapFormat_; }

  private:
    void readMixFormat();
    void startAudioDevice(AudioDeviceIOProcID ioProcID, double timeoutSeconds);
    void recordInput(const AudioBufferList& input);
    static OSStatus processTapIOProc(AudioObjectID device, const AudioTimeStamp* now,
                                     const AudioBufferList* input, const AudioTimeStamp* inputTime,
                                     AudioBufferList* output, const AudioTimeStamp* outputTime,
                                     void* clientData);

    std::shared_ptr<CoreAudio> coreAudio_;
    AudioObjectID aggregateDeviceID_ = kAudioObjectUnknown;
    std::optional<AudioDeviceIOProcID> ioProcID_;
    std::optional<double> mixSampleRate_;
    std::vector<AudioStreamBasicDescription> mixStreamFormats_;
    const std::shared_ptr<PcmJsonLineWriter> streamWriter_;
    std::optional<AudioStreamBasicDescription> tapFormat_;
    AudioObjectID tapObjectID_ = kAudioObjectUnknown;
    // Used only on the IO thread.
    InputStreamMixer mixer_;
};

// The process objects the tap leaves out: the helper's, its parent's, every "--exclude-pid"
// and every process whose bundle ID is an "--exclude-bundle-id", in order, without duplicates.
std::vector<AudioObjectID> excludedGlobalTapProcessIDs(CoreAudio& coreAudio,
                                                       const CommandOptions& options);

// The aggregate device description: five keys, seven with a microphone.
CFDictionary aggregateDeviceDescription(const std::string& tapUUID,
                                        const std::optional<InputDevice>& microphone);

}  // namespace norvi::helper
