# quilvar_add_test(<folder> SOURCES <files...> LIBS <libs...>)
# One GoogleTest executable per source folder, registered with CTest.
include(GoogleTest)
function(quilvar_add_test folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  set(target "${folder}_tests")
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE
    QUILVAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QUILVAR_NUMERIC_REFERENCE_DIR="${QUILVAR_NUMERIC_REFERENCE_DIR}")
  quilvar_warnings(${target})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
