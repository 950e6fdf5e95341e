find_package(GTest REQUIRED)
include(GoogleTest)

# kestrix_add_gtest(<target> SOURCES <files...> LIBS <targets...> [LABELS <labels...>])
#
# One GoogleTest executable, registered test by test with CTest. Tests keep
# their assertions whatever the build type. The label "threads" marks tests
# that the ThreadSanitizer run executes.
function(kestrix_add_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} kestrix_flags GTest::gtest GTest::gtest_main)
  target_compile_options(${target} PRIVATE -UNDEBUG)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  # Test discovery passes each property value as one word, so the labels are
  # joined into one ("batching-threads"); ctest -L matches by regular
  # expression, so -L batching and -L threads both select it.
  list(JOIN ARG_LABELS "-" labels)
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 120
    PROPERTIES LABELS "${labels}")
endfunction()
