find_package(Qt6 REQUIRED COMPONENTS Widgets)
set(CMAKE_AUTOMOC ON)

# picker: the modal folder chooser (Qt Widgets).
add_library(quorvale_picker STATIC picker/folder_picker.h picker/folder_picker.cpp)
target_include_directories(quorvale_picker PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(quorvale_picker PUBLIC Qt6::Widgets)

# window: Form1, its list view, its commands and the closing sequence.
add_library(quorvale_window STATIC
  window/main_window.h window/main_window.cpp
  window/listing_view.h window/listing_view.cpp
  window/closing_animation.h window/closing_animation.cpp)
target_link_libraries(quorvale_window PUBLIC quorvale_listing quorvale_picker Qt6::Widgets)

# app: the program.
add_executable(quorvale app/main.cpp)
target_link_libraries(quorvale PRIVATE quorvale_window)
