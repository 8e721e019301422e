target_sources(norvi_audio_helper PRIVATE
    core/audio_format_description.cpp
    core/audio_helper.cpp
    core/command_options.cpp
    core/output_records.cpp
    core/pcm_json_line_writer.cpp
    core/sample_buffer_audio_buffer_list.cpp
    core/sample_extraction.cpp
    core/screen_access_command.cpp
    core/stderr_writer.cpp
    core/stream_duration.cpp
    core/stream_end.cpp
    core/termination_signal.cpp
    core/usage_text.cpp
    core/platform/core_graphics_simulated.cpp
    core/platform/core_media_simulated.cpp
    core/platform/helper_platform.cpp
    core/platform/pulse_capture.cpp
    core/platform/pulse_connection.cpp
    core/platform/pulse_core_graphics.cpp
    core/platform/simulated_pacing.cpp
)
# The capture thread's conversion loops are worth the vectoriser in optimised builds.
if(CMAKE_BUILD_TYPE MATCHES "Rel")
    set_source_files_properties(core/pcm_json_line_writer.cpp PROPERTIES COMPILE_OPTIONS -O3)
endif()
# The real audio backend speaks the PulseAudio protocol.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPULSE REQUIRED IMPORTED_TARGET libpulse)
target_link_libraries(norvi_audio_helper PRIVATE PkgConfig::LIBPULSE)
