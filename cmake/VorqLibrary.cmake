# vorq_library(NAME SOURCES file... HEADERS file... OBJECT_LINKS target... LINKS target...)
#
# One of the project's shared libraries.  Its code is built once as the
# object library NAME_obj, linked both into the shared library NAME
# (soname version 1) and, statically, into the unit tests, which reach the
# internal pieces directly.  HEADERS are the public headers it installs;
# NAME_obj links OBJECT_LINKS, NAME links LINKS.
function(vorq_library name)
  cmake_parse_arguments(arg "" "" "SOURCES;HEADERS;OBJECT_LINKS;LINKS" ${ARGN})
  add_library(${name}_obj OBJECT ${arg_SOURCES})
  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_obj>)
  foreach(target ${name}_obj ${name})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  endforeach()
  target_compile_options(${name}_obj PRIVATE -fno-exceptions)
  target_link_libraries(${name}_obj PUBLIC ${arg_OBJECT_LINKS})
  target_link_libraries(${name} PUBLIC ${arg_LINKS})
  set_target_properties(${name} PROPERTIES VERSION 1.0.0 SOVERSION 1)
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${arg_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
