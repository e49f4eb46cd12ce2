# Test code-signing: a trusted certificate (the maker's stand-in) and an
# untrusted one, made once per build tree with openssl; programs are signed
# after linking with osslsigncode.
find_program(ZEL_OPENSSL openssl REQUIRED)
find_program(ZEL_OSSLSIGNCODE osslsigncode REQUIRED)

set(ZEL_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
file(MAKE_DIRECTORY ${ZEL_SIGNING_DIR})

foreach(kind trusted untrusted)
  if(NOT EXISTS ${ZEL_SIGNING_DIR}/${kind}.pem)
    if(kind STREQUAL "trusted")
      set(subject "/CN=Varkon Test Code Signing")
    else()
      set(subject "/CN=Unknown Publisher")
    endif()
    execute_process(
      COMMAND ${ZEL_OPENSSL} req -x509 -newkey rsa:2048 -sha256 -days 3650 -nodes -subj ${subject}
              -addext "extendedKeyUsage=codeSigning"
              -keyout ${ZEL_SIGNING_DIR}/${kind}.key -out ${ZEL_SIGNING_DIR}/${kind}.pem
      RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "openssl could not make the ${kind} test certificate")
    endif()
  endif()
  execute_process(COMMAND ${ZEL_OPENSSL} x509 -in ${ZEL_SIGNING_DIR}/${kind}.pem -noout -fingerprint -sha1
                  OUTPUT_VARIABLE fingerprint OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REGEX REPLACE ".*=" "" fingerprint "${fingerprint}")
  string(REPLACE ":" "" fingerprint "${fingerprint}")
  string(TOUPPER "${fingerprint}" fingerprint)
  string(TOUPPER ${kind} upper)
  set(ZEL_${upper}_THUMBPRINT ${fingerprint})
  file(WRITE ${ZEL_SIGNING_DIR}/${kind}.thumbprint "${fingerprint}\n")
endforeach()

# Runs a command with its standard output dropped (osslsigncode reports each
# success there); its errors still show.
set(ZEL_QUIET sh -c "\"$0\" \"$@\" >/dev/null")

# zel_sign(<target> [UNTRUSTED]): signs the target's file after each link.
function(zel_sign target)
  cmake_parse_arguments(ARG "UNTRUSTED" "" "" ${ARGN})
  set(kind trusted)
  if(ARG_UNTRUSTED)
    set(kind untrusted)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f $<TARGET_FILE:${target}>.signed
    COMMAND ${ZEL_QUIET} ${ZEL_OSSLSIGNCODE} sign -certs ${ZEL_SIGNING_DIR}/${kind}.pem -key ${ZEL_SIGNING_DIR}/${kind}.key
            -h sha256 -in $<TARGET_FILE:${target}> -out $<TARGET_FILE:${target}>.signed
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:${target}>.signed $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} (${kind})" VERBATIM)
endfunction()

# zel_signed_copy(<target> <kind> <file>): after each link, writes a copy of the
# target's file signed with the trusted or untrusted certificate.
function(zel_signed_copy target kind file)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f ${file}
    COMMAND ${ZEL_QUIET} ${ZEL_OSSLSIGNCODE} sign -certs ${ZEL_SIGNING_DIR}/${kind}.pem -key ${ZEL_SIGNING_DIR}/${kind}.key
            -h sha256 -in $<TARGET_FILE:${target}> -out ${file}
    COMMENT "Signing a copy of ${target} (${kind})" VERBATIM)
endfunction()

# The thumbprints, for the tests that write the trusted publishers.
file(WRITE ${ZEL_SIGNING_DIR}/TestSigning.h.in
  "#pragma once\n// Generated: SHA-1 thumbprints of this build tree's test certificates.\n"
  "constexpr wchar_t kTrustedThumbprint[] = L\"@ZEL_TRUSTED_THUMBPRINT@\";\n"
  "constexpr wchar_t kUntrustedThumbprint[] = L\"@ZEL_UNTRUSTED_THUMBPRINT@\";\n")
configure_file(${ZEL_SIGNING_DIR}/TestSigning.h.in ${ZEL_GENERATED_DIR}/tests/support/TestSigning.h @ONLY)
