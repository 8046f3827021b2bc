# The launcher's resources. Branding: what the shell shows in the file's
# properties. The file description is fixed; the rest belongs to whoever
# publishes the launcher.
set(LAUNCHER_COMPANY_NAME "Selvane Games" CACHE STRING "Version block: CompanyName")
set(LAUNCHER_PRODUCT_NAME "Tarnis" CACHE STRING "Version block: ProductName (the game's title)")
set(LAUNCHER_INTERNAL_NAME "tarnis_launcher.exe" CACHE STRING "Version block: InternalName (ends in .exe)")
set(LAUNCHER_ORIGINAL_FILENAME "tarnis_launcher.exe" CACHE STRING "Version block: OriginalFilename (ends in .exe)")
set(LAUNCHER_COPYRIGHT "Copyright (C) Selvane Games. All rights reserved." CACHE STRING
  "Version block: LegalCopyright")
set(LAUNCHER_PROJECT_NAME "TarnisLauncher" CACHE STRING
  "String table: string 103 as given, string 109 in capitals")
set(LAUNCHER_ICON_SOURCE ${CMAKE_SOURCE_DIR}/res/launcher_icon.png CACHE FILEPATH
  "PNG from which the build derives the five icon images (best square, 256x256 or larger)")

foreach(name INTERNAL_NAME ORIGINAL_FILENAME)
  if(NOT LAUNCHER_${name} MATCHES "\\.[eE][xX][eE]$")
    message(FATAL_ERROR "LAUNCHER_${name} must be a file name ending in .exe")
  endif()
endforeach()
if(NOT EXISTS ${LAUNCHER_ICON_SOURCE})
  message(FATAL_ERROR "LAUNCHER_ICON_SOURCE: ${LAUNCHER_ICON_SOURCE} does not exist")
endif()

# Resource-script string literals: backslash escapes, a quote is doubled.
function(launcher_rc_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\"\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
launcher_rc_string(rc_company_name "${LAUNCHER_COMPANY_NAME}")
launcher_rc_string(rc_product_name "${LAUNCHER_PRODUCT_NAME}")
launcher_rc_string(rc_internal_name "${LAUNCHER_INTERNAL_NAME}")
launcher_rc_string(rc_original_filename "${LAUNCHER_ORIGINAL_FILENAME}")
launcher_rc_string(rc_copyright "${LAUNCHER_COPYRIGHT}")
launcher_rc_string(rc_project_name "${LAUNCHER_PROJECT_NAME}")
string(TOUPPER "${rc_project_name}" rc_project_name_upper)

set(LAUNCHER_ICON_FILE ${CMAKE_BINARY_DIR}/launcher.ico)
add_custom_command(
  OUTPUT ${LAUNCHER_ICON_FILE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/make_icons.py ${LAUNCHER_ICON_SOURCE} ${LAUNCHER_ICON_FILE}
  DEPENDS ${LAUNCHER_ICON_SOURCE} ${CMAKE_SOURCE_DIR}/tools/make_icons.py
  COMMENT "Deriving the icon images"
  VERBATIM)

# The script names its input files without a folder: windres finds them
# through -I. (GNU ld gives .rsrc write permission whatever the object says;
# the linked image is fixed after linking, below.)
configure_file(res/launcher.rc.in ${CMAKE_BINARY_DIR}/launcher.rc @ONLY)
set(res_obj ${CMAKE_BINARY_DIR}/launcher_res.o)
add_custom_command(
  OUTPUT ${res_obj}
  COMMAND ${CMAKE_RC_COMPILER} -I ${CMAKE_BINARY_DIR} -I ${CMAKE_SOURCE_DIR}/res -O coff
          -i ${CMAKE_BINARY_DIR}/launcher.rc -o ${res_obj}
  DEPENDS ${CMAKE_BINARY_DIR}/launcher.rc ${LAUNCHER_PAYLOAD_FILE} ${LAUNCHER_ICON_FILE}
          ${CMAKE_SOURCE_DIR}/res/launcher.manifest ${LAUNCHER_FACTS_HEADER}
  COMMENT "Compiling the launcher's resources"
  VERBATIM)
set_source_files_properties(${res_obj} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
