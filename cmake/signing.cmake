# Signing: an optional Authenticode signature, the very last step after
# linking (after the read-only fix: the signature covers the final bytes).
# Unset: unsigned.
set(LAUNCHER_SIGN_PFX "" CACHE FILEPATH "PKCS#12 file (certificate and key) to sign launcher.exe with (empty: no signature)")
set(LAUNCHER_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of LAUNCHER_SIGN_PFX")
set(LAUNCHER_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signature (empty: none)")
if(LAUNCHER_SIGN_PFX)
  find_program(LAUNCHER_OSSLSIGNCODE NAMES osslsigncode REQUIRED)
  set(sign_options --osslsigncode ${LAUNCHER_OSSLSIGNCODE} --description ${LAUNCHER_PRODUCT_NAME})
  if(LAUNCHER_SIGN_PASSWORD_FILE)
    list(APPEND sign_options --password-file ${LAUNCHER_SIGN_PASSWORD_FILE})
  endif()
  if(LAUNCHER_SIGN_TIMESTAMP_URL)
    list(APPEND sign_options --timestamp-url ${LAUNCHER_SIGN_TIMESTAMP_URL})
  endif()
  add_custom_command(TARGET launcher POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/sign_launcher.py $<TARGET_FILE:launcher>
            ${LAUNCHER_SIGN_PFX} ${sign_options}
    COMMENT "Signing the launcher"
    VERBATIM)
endif()
