# The scenario generator of the benchmarks. Included from bench/ (benchmarks
# on) and from tests/bench/ (the output checksum test needs it too); the
# guard keeps one definition when both are on.
if(NOT TARGET make_data)
  add_executable(make_data ${PROJECT_SOURCE_DIR}/bench/make_data.cpp)
  target_compile_definitions(make_data PRIVATE QUILVAR_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
  set_target_properties(make_data PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
  quilvar_warnings(make_data)
endif()
