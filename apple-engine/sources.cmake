target_sources(norvi_apple_engine PRIVATE
    capabilities.cpp
    command_options.cpp
    engine_main.cpp
    line_translator.cpp
    output.cpp
    pcm_input_stream.cpp
    platform/apertium_stream_format.cpp
    platform/audio_conversion.cpp
    platform/audio_conversion_linear.cpp
    platform/audio_conversion_simulated.cpp
    platform/child_process.cpp
    platform/engine_platform.cpp
    platform/espeak_pronunciation.cpp
    platform/locale.cpp
    platform/speech.cpp
    platform/speech_pocketsphinx.cpp
    platform/speech_simulated.cpp
    platform/translation.cpp
    platform/translation_apertium.cpp
    platform/translation_simulated.cpp
    speech_model.cpp
    transcription.cpp
    translation.cpp
)
# The Linux recognizer: PocketSphinx with its US English model, in-process. Debian's .pc file
# names /usr/include/sphinxbase, which the package does not ship, so only the include
# directories that exist are used (as system headers: they are C and not ours to warn about).
find_package(PkgConfig REQUIRED)
pkg_check_modules(POCKETSPHINX REQUIRED pocketsphinx sphinxbase)
set(pocketsphinx_include_dirs)
foreach(directory IN LISTS POCKETSPHINX_INCLUDE_DIRS)
    if(IS_DIRECTORY "${directory}")
        list(APPEND pocketsphinx_include_dirs "${directory}")
    endif()
endforeach()
target_include_directories(norvi_apple_engine SYSTEM PRIVATE ${pocketsphinx_include_dirs})
target_link_libraries(norvi_apple_engine PUBLIC ${POCKETSPHINX_LINK_LIBRARIES})
