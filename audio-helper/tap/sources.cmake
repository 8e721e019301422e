target_sources(norvi_audio_helper PRIVATE
    tap/audio_object_properties.cpp
    tap/microphone_selection.cpp
    tap/microphone_watch.cpp
    tap/os_status.cpp
    tap/process_tap_probe.cpp
    tap/tap_commands.cpp
    tap/platform/core_audio.cpp
    tap/platform/core_audio_pulse.cpp
    tap/platform/core_audio_simulated.cpp
    tap/platform/uuid_text.cpp
)
# Device names are compared in user-perceived characters (grapheme clusters).
find_package(ICU REQUIRED COMPONENTS uc)
target_link_libraries(norvi_audio_helper PUBLIC ICU::uc)
