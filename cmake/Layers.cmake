# The tool's layers, lowest first. A source file of a layer may include files
# of its own layer and of the layers below it, never of one above.
set(ZEL_LAYERS base log system filetree exchange workflows records engine launcher)

# zel_add_layer(NAME SOURCES...): the layer's static library zel<NAME>,
# linked to the layer just below it (and through it to all the lower ones).
function(zel_add_layer name)
  list(FIND ZEL_LAYERS ${name} index)
  if(index EQUAL -1)
    message(FATAL_ERROR "${name} is not a layer")
  endif()
  add_library(zel${name} STATIC ${ARGN})
  # Debug information in every configuration: it changes no generated code,
  # and the shipped exe's part of it is split off into zelunst.debug. DWARF 4,
  # because lldb 14 finds no file names in GCC 12's DWARF 5 line tables.
  target_compile_options(zel${name} PRIVATE -gdwarf-4)
  target_include_directories(zel${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(index GREATER 0)
    math(EXPR below "${index} - 1")
    list(GET ZEL_LAYERS ${below} lower)
    target_link_libraries(zel${name} PUBLIC zel${lower})
  endif()
  # Every build checks the includes first: one that runs upward fails it.
  add_dependencies(zel${name} check_layers)
endfunction()
