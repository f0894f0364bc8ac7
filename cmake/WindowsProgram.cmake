# What makes a Windows program of the launcher look like one: the embedded
# application manifest (resources/windows/program.manifest: per-monitor DPI
# awareness, long paths, the supported systems, asInvoker), a version
# resource with the product name and the build's version, optionally the
# icon, and an Authenticode signature when the operator gives a certificate
# and its key (scripts/sign-windows, with osslsigncode).
#
#   launcher_windows_program(<target> DESCRIPTION <text> [ICON] [SIGN])

set(LAUNCHER_PRODUCT_NAME "Quillmere Launcher" CACHE STRING
    "Product name in the Windows programs' version information and signature")
set(LAUNCHER_COMPANY_NAME "" CACHE STRING
    "Company name in the Windows programs' version information (none when empty)")
set(LAUNCHER_VERSION "${PROJECT_VERSION}" CACHE STRING
    "Version of the Windows programs: one to four numbers (1.4.2 or 1.4.2.317)")

set(LAUNCHER_SIGN_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM or DER, with its intermediates): signs launcher.exe and launcher-publish.exe")
set(LAUNCHER_SIGN_KEY "" CACHE FILEPATH "Private key of LAUNCHER_SIGN_CERT (PEM or DER)")
set(LAUNCHER_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File whose first line is the password of LAUNCHER_SIGN_KEY (none when empty)")
set(LAUNCHER_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamping server for the signatures (none when empty)")

if(NOT LAUNCHER_VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "LAUNCHER_VERSION \"${LAUNCHER_VERSION}\": one to four numbers, such as 1.4.2")
endif()
string(REPLACE "." ";" _launcher_version_parts "${LAUNCHER_VERSION}")
foreach(_part ${_launcher_version_parts})
  if(_part GREATER 65535)
    message(FATAL_ERROR "LAUNCHER_VERSION \"${LAUNCHER_VERSION}\": each number is at most 65535")
  endif()
endforeach()
list(LENGTH _launcher_version_parts _count)
while(_count LESS 4)
  list(APPEND _launcher_version_parts 0)
  math(EXPR _count "${_count} + 1")
endwhile()
string(REPLACE ";" "," LAUNCHER_RC_VERSION_COMMAS "${_launcher_version_parts}")
set(LAUNCHER_RC_VERSION "${LAUNCHER_VERSION}")

if(LAUNCHER_SIGN_CERT OR LAUNCHER_SIGN_KEY)
  if(NOT LAUNCHER_SIGN_CERT OR NOT LAUNCHER_SIGN_KEY)
    message(FATAL_ERROR "Signing needs both LAUNCHER_SIGN_CERT and LAUNCHER_SIGN_KEY")
  endif()
  foreach(_file LAUNCHER_SIGN_CERT LAUNCHER_SIGN_KEY LAUNCHER_SIGN_PASSWORD_FILE)
    if(${_file} AND NOT EXISTS "${${_file}}")
      message(FATAL_ERROR "${_file}: ${${_file}} does not exist")
    endif()
  endforeach()
  find_program(LAUNCHER_OSSLSIGNCODE osslsigncode REQUIRED)
  set(LAUNCHER_SIGN_COMMAND ${CMAKE_SOURCE_DIR}/scripts/sign-windows
      --cert ${LAUNCHER_SIGN_CERT} --key ${LAUNCHER_SIGN_KEY} --name ${LAUNCHER_PRODUCT_NAME})
  if(LAUNCHER_SIGN_PASSWORD_FILE)
    list(APPEND LAUNCHER_SIGN_COMMAND --password-file ${LAUNCHER_SIGN_PASSWORD_FILE})
  endif()
  if(LAUNCHER_SIGN_TIMESTAMP_URL)
    list(APPEND LAUNCHER_SIGN_COMMAND --timestamp ${LAUNCHER_SIGN_TIMESTAMP_URL})
  endif()
  message(STATUS "Signing launcher.exe and launcher-publish.exe with ${LAUNCHER_SIGN_CERT}")
endif()

# A text as a resource-script string: quotes doubled.
function(_launcher_rc_string out text)
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(launcher_windows_program target)
  cmake_parse_arguments(ARG "ICON;SIGN" "DESCRIPTION" "" ${ARGN})
  get_target_property(_name ${target} OUTPUT_NAME)
  if(NOT _name)
    set(_name ${target})
  endif()
  set(LAUNCHER_RC_FILE_NAME "${_name}.exe")
  set(LAUNCHER_RC_INTERNAL_NAME "${_name}")
  set(LAUNCHER_RC_MANIFEST "${CMAKE_SOURCE_DIR}/resources/windows/program.manifest")
  _launcher_rc_string(LAUNCHER_RC_DESCRIPTION "${ARG_DESCRIPTION}")
  _launcher_rc_string(LAUNCHER_RC_PRODUCT "${LAUNCHER_PRODUCT_NAME}")
  set(LAUNCHER_RC_COMPANY_LINE "")
  if(LAUNCHER_COMPANY_NAME)
    _launcher_rc_string(_company "${LAUNCHER_COMPANY_NAME}")
    set(LAUNCHER_RC_COMPANY_LINE "      VALUE \"CompanyName\", \"${_company}\"")
  endif()
  set(LAUNCHER_RC_ICON_LINE "")
  if(ARG_ICON)
    set(LAUNCHER_RC_ICON_LINE "128 ICON \"${CMAKE_SOURCE_DIR}/resources/images/icon.ico\"")
  endif()
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_program.rc)
  configure_file(${CMAKE_SOURCE_DIR}/resources/windows/program.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
  # The resource compiler reads the manifest; a change to it relinks.
  set_source_files_properties(${_rc} PROPERTIES OBJECT_DEPENDS
                              ${LAUNCHER_RC_MANIFEST})
  if(ARG_SIGN AND LAUNCHER_SIGN_COMMAND)
    add_custom_command(TARGET ${target} POST_BUILD
                       COMMAND ${LAUNCHER_SIGN_COMMAND} $<TARGET_FILE:${target}>
                       COMMENT "Signing ${_name}.exe"
                       VERBATIM)
  endif()
endfunction()
