target_sources(norvi_audio_helper PRIVATE
    tap/microphone_watch.cpp
    tap/tap_commands.cpp
)
