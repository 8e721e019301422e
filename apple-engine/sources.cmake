target_sources(norvi_apple_engine PRIVATE
    capabilities.cpp
    engine_main.cpp
    line_translator.cpp
    output.cpp
    pcm_input_stream.cpp
    platform/audio_conversion.cpp
    platform/audio_conversion_simulated.cpp
    platform/engine_platform.cpp
    platform/locale.cpp
    platform/speech.cpp
    platform/speech_simulated.cpp
    platform/translation.cpp
    platform/translation_simulated.cpp
    speech_model.cpp
    transcription.cpp
    translation.cpp
)
