# quorvel_add_library(<name> <source>...): the static library quorvel-<name>
# from the sources given, as each library of libs/ is laid out. Its public
# headers are include/ (installed, and named quorvel::<name> in the CMake
# package); its own headers in src/ are offered to this tree's tests,
# benchmarks and fuzzers as the interface target quorvel-<name>-internal,
# which is never installed.
function(quorvel_add_library name)
  add_library(quorvel-${name} ${ARGN})
  add_library(quorvel::${name} ALIAS quorvel-${name})
  target_include_directories(quorvel-${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(quorvel-${name} PUBLIC cxx_std_23)
  set_target_properties(quorvel-${name} PROPERTIES EXPORT_NAME ${name})

  add_library(quorvel-${name}-internal INTERFACE)
  target_include_directories(quorvel-${name}-internal INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(quorvel-${name}-internal INTERFACE quorvel-${name})
endfunction()
