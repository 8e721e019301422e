target_sources(norvi_audio_helper PRIVATE
    screencapturekit/sck_stream_command.cpp
)
