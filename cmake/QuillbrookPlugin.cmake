# quillbrook_add_plugin(NAME SOURCES ... LIBRARIES ...)
# Builds NAME.so into the plug-in folder. The version script keeps every symbol but the
# entry point local, so two plug-ins loaded into one process never see each other.
function(quillbrook_add_plugin name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} qb_warnings)
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${QB_PLUGIN_DIR})
  target_link_options(${name} PRIVATE
    "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/plugin_exports.map"
    "LINKER:--no-undefined")
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/plugin_exports.map)
endfunction()
