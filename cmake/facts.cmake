# launcher_read_facts(HEADER): sets a CMake variable for each
# "#define NAME VALUE" line of HEADER, named NAME. A wide string literal
# (L"...") gives its text with the C escapes of backslashes undone; any
# other value is taken as written. Headers of facts hold nothing else that
# these lines could match; function-like macros are left out.
function(launcher_read_facts header)
  file(STRINGS ${header} lines REGEX "^#define [A-Z_]+ ")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^#define ([A-Z_]+) (.+)$")
      continue()
    endif()
    set(name ${CMAKE_MATCH_1})
    set(value "${CMAKE_MATCH_2}")
    if(value MATCHES "^L\"(.*)\"$")
      string(REPLACE "\\\\" "\\" value "${CMAKE_MATCH_1}")
    endif()
    set(${name} "${value}" PARENT_SCOPE)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
endfunction()
