target_sources(norvi_audio_helper PRIVATE
    screencapturekit/sck_stream_command.cpp
    screencapturekit/screencapturekit_audio_probe.cpp
    screencapturekit/screencapturekit_picker_bridge.cpp
    screencapturekit/platform/screencapturekit_pulse.cpp
    screencapturekit/platform/screencapturekit_simulated.cpp
)
