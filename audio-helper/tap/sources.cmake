target_sources(norvi_audio_helper PRIVATE
    tap/audio_object_properties.cpp
    tap/microphone_watch.cpp
    tap/os_status.cpp
    tap/tap_commands.cpp
    tap/platform/core_audio.cpp
    tap/platform/core_audio_pulse.cpp
    tap/platform/core_audio_simulated.cpp
    tap/platform/uuid_text.cpp
)
