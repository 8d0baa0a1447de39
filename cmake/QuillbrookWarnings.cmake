# One interface target carries the warning flags for every target of the project.
add_library(qb_warnings INTERFACE)
target_compile_options(qb_warnings INTERFACE -Wall -Wextra -Wswitch-enum -Wshadow)
if(QB_WERROR)
  target_compile_options(qb_warnings INTERFACE -Werror)
endif()

# quillbrook_add_library(NAME [LIBRARIES ...])
# A static library from every .cpp of the current folder (an interface library while the
# folder has headers only). Tests live under tests/, so nothing here is excluded.
function(quillbrook_add_library name)
  cmake_parse_arguments(ARG "" "" "LIBRARIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_LIBRARIES} PRIVATE qb_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LIBRARIES})
  endif()
endfunction()

# quillbrook_add_test(NAME LIBRARIES ...): one GoogleTest executable from every *_test.cpp of
# the current folder, each test registered with CTest under a timeout so a hang fails.
function(quillbrook_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LIBRARIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  # The limit only catches hangs; sanitizer builds run the same work 3 to 15 times slower.
  if(QB_SANITIZE)
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 5")
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main
                        qb_warnings Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} DISCOVERY_TIMEOUT 60)
endfunction()
