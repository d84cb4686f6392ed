# quorvale_target(TARGET): the project's warnings and include root on one of its own targets.
#
# Headers are included by room: "listing/listing_core.h", "window/main_window.h". A room's library
# exports only its own folder, through a link in the build tree, so a target sees the headers of
# the rooms it links to and of no other: an #include that points up the rooms does not compile.
function(quorvale_target target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
  get_filename_component(parent ${CMAKE_CURRENT_SOURCE_DIR} DIRECTORY)
  if(NOT parent STREQUAL "${PROJECT_SOURCE_DIR}/src")
    return()  # tests and benches: they see what they link to
  endif()
  get_filename_component(room ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(room_root ${PROJECT_BINARY_DIR}/room_headers/${room})
  if(NOT EXISTS ${room_root}/${room})
    file(MAKE_DIRECTORY ${room_root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${room_root}/${room} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${room_root})
  else()
    target_include_directories(${target} PUBLIC ${room_root})
  endif()
endfunction()
