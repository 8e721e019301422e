norvi_add_tests(mic_watch_process_tests
    mic_watch_process_test.cpp
)
target_link_libraries(mic_watch_process_tests PRIVATE nlohmann_json::nlohmann_json)
target_compile_definitions(mic_watch_process_tests PRIVATE
    NORVI_AUDIO_HELPER_PROGRAM="${NORVI_AUDIO_HELPER_PROGRAM}")
add_dependencies(mic_watch_process_tests norvi-audio-helper)
