# The payload: what the launcher unpacks. One of: a folder packed here
# (LAUNCHER_PAYLOAD_DIR), a finished archive (LAUNCHER_PAYLOAD), or by default
# the demo payload. Every payload passes tools/validate_payload.py before it
# is embedded; a refused one fails the build with the entry and the rule it
# breaks.
set(LAUNCHER_PAYLOAD_DIR "" CACHE PATH
  "Folder to pack as the payload (empty: LAUNCHER_PAYLOAD or the demo payload)")
set(LAUNCHER_PAYLOAD_UTC_OFFSET 28800 CACHE STRING
  "Seconds east of UTC of the MS-DOS times of a packed payload (28800: China Standard Time)")
set(LAUNCHER_PAYLOAD_TIME "" CACHE STRING
  "Unix time for every time stamp of a packed folder (empty: each file's modification time)")
set(LAUNCHER_MAX_INSTALL_DIR 200 CACHE STRING
  "Longest install directory (local application data + ${LAUNCHER_INSTALL_SUFFIX}) that payload names must leave room for")

set(pack_payload ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/pack_payload.py
  --utc-offset ${LAUNCHER_PAYLOAD_UTC_OFFSET})
if(LAUNCHER_PAYLOAD AND LAUNCHER_PAYLOAD_DIR)
  message(FATAL_ERROR "Set LAUNCHER_PAYLOAD or LAUNCHER_PAYLOAD_DIR, not both")
elseif(LAUNCHER_PAYLOAD_DIR)
  if(NOT IS_DIRECTORY ${LAUNCHER_PAYLOAD_DIR})
    message(FATAL_ERROR "LAUNCHER_PAYLOAD_DIR: ${LAUNCHER_PAYLOAD_DIR} is not a folder")
  endif()
  set(payload_source ${CMAKE_BINARY_DIR}/payload_packed.zip)
  set(payload_time)
  if(NOT LAUNCHER_PAYLOAD_TIME STREQUAL "")
    set(payload_time --time ${LAUNCHER_PAYLOAD_TIME})
  endif()
  file(GLOB_RECURSE payload_dir_files CONFIGURE_DEPENDS ${LAUNCHER_PAYLOAD_DIR}/*)
  add_custom_command(
    OUTPUT ${payload_source}
    COMMAND ${pack_payload} ${payload_time} -o ${payload_source} --dir ${LAUNCHER_PAYLOAD_DIR}
    DEPENDS ${payload_dir_files} ${CMAKE_SOURCE_DIR}/tools/pack_payload.py
    COMMENT "Packing the payload folder ${LAUNCHER_PAYLOAD_DIR}"
    VERBATIM)
elseif(LAUNCHER_PAYLOAD)
  if(NOT EXISTS ${LAUNCHER_PAYLOAD})
    message(FATAL_ERROR "LAUNCHER_PAYLOAD: ${LAUNCHER_PAYLOAD} does not exist")
  endif()
  set(payload_source ${LAUNCHER_PAYLOAD})
else()
  # The demo payload: the demo downloader and a few sample files, with fixed
  # time stamps so that the build stays reproducible.
  set(payload_source ${CMAKE_BINARY_DIR}/demo_payload.zip)
  set(payload_stage ${CMAKE_BINARY_DIR}/demo_payload)
  file(GLOB_RECURSE demo_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/demo/files/*)
  add_custom_command(
    OUTPUT ${payload_source}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${payload_stage}
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${CMAKE_SOURCE_DIR}/demo/files ${payload_stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:dw_dlr> ${payload_stage}/${LAUNCHER_DOWNLOADER_NAME}
    COMMAND ${pack_payload} --time ${LAUNCHER_DEMO_PAYLOAD_TIME} -o ${payload_source} --dir ${payload_stage}
    DEPENDS dw_dlr ${demo_files} ${CMAKE_SOURCE_DIR}/tools/pack_payload.py
    COMMENT "Packing the demo payload"
    VERBATIM)
endif()

# The build embeds the validated copy, never the source archive itself.
set(LAUNCHER_PAYLOAD_FILE ${CMAKE_BINARY_DIR}/payload.zip)
add_custom_command(
  OUTPUT ${LAUNCHER_PAYLOAD_FILE}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/validate_payload.py ${payload_source}
          --install-dir-length ${LAUNCHER_MAX_INSTALL_DIR} --copy-to ${LAUNCHER_PAYLOAD_FILE}
          --path-size ${LAUNCHER_PATH_SIZE} --install-suffix ${LAUNCHER_INSTALL_SUFFIX}
          --downloader ${LAUNCHER_DOWNLOADER_NAME}
  DEPENDS ${payload_source} ${CMAKE_SOURCE_DIR}/tools/validate_payload.py ${LAUNCHER_FACTS_HEADER}
  COMMENT "Validating the payload"
  VERBATIM)
add_custom_target(payload DEPENDS ${LAUNCHER_PAYLOAD_FILE})
