# quorvale_target(TARGET): the project's warnings and include root on one of its own targets.
function(quorvale_target target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    # Headers are included by subsystem: "listing/listing_core.h", "window/main_window.h".
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  endif()
endfunction()
