# tarnix_module(NAME [LOWER_MODULES...])
# One static library per folder under src/, named tarnix_NAME, built from every .cpp below it.
# The headers are included as "NAME/Header.hpp" (the include root is src/).
function(tarnix_module name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  if(sources)
    add_library(tarnix_${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(tarnix_${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(tarnix_${name} ${scope} ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(tarnix_${name} ${scope}
    TARNIX_DEPLOYMENT_ENVIRONMENT="${TARNIX_DEPLOYMENT_ENVIRONMENT}")
  foreach(lower IN LISTS ARGN)
    target_link_libraries(tarnix_${name} ${scope} tarnix_${lower})
  endforeach()
  target_link_libraries(tarnix_${name} ${scope} ${TARNIX_DEPS_${name}})
  add_library(tarnix::${name} ALIAS tarnix_${name})
endfunction()

# tarnix_test_binary(NAME LABEL DIR LIBS...): one GoogleTest binary from every .cpp in tests/DIR.
function(tarnix_test_binary name label dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  # Test files share most of their (heavy) headers: compiled a batch at a time they cost about
  # 40% less. Names local to one test file must therefore be unique within its folder.
  if(TARNIX_UNITY_TESTS)
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
    # A fixture in an anonymous namespace is fine in a batch as it is in its own file.
    target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} tarnix_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${label} ENVIRONMENT "TARNIX_SOURCE_DIR=${PROJECT_SOURCE_DIR};TARNIX_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
