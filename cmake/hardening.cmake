# Debian's hardening flags for the builds that ship or are measured (Release,
# RelWithDebInfo, MinSizeRel; the package comes from the RelWithDebInfo build):
# stack protector, _FORTIFY_SOURCE, format-string checks, full RELRO with
# BIND_NOW, position-independent executables.
#
# The flags come from dpkg-buildflags with every hardening feature asked for,
# so that they follow Debian's own choice as it grows; only the hardening
# flags are kept, and the build type keeps its own optimisation and debug
# flags. Without dpkg-buildflags (not a Debian system), the same set is
# written out here.
#
# Left out of the sanitizer and fuzz builds, and of Debug: _FORTIFY_SOURCE
# needs an optimised build, and its checked copies of memcpy, printf and the
# like bypass the sanitizers' interceptors, so faults there would go unseen.

set(quobble_release_like Release RelWithDebInfo MinSizeRel)
set(QUOBBLE_HARDENED OFF)
if(NOT QUOBBLE_SANITIZE AND NOT QUOBBLE_FUZZ AND CMAKE_BUILD_TYPE IN_LIST quobble_release_like)
  set(QUOBBLE_HARDENED ON)
endif()

# The flags of one dpkg-buildflags variable that belong to hardening.
function(quobble_hardening_flags variable out_var)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${QUOBBLE_DPKG_BUILDFLAGS} --get ${variable}
    OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-buildflags --get ${variable} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${text}")
  set(kept)
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-(fstack-protector|fstack-clash-protection|fcf-protection|[DU]_FORTIFY_SOURCE|Wformat|Werror=format-security|Wl,-z,|specs=)")
      list(APPEND kept ${flag})
    endif()
  endforeach()
  set(${out_var} ${kept} PARENT_SCOPE)
endfunction()

if(QUOBBLE_HARDENED)
  find_program(QUOBBLE_DPKG_BUILDFLAGS dpkg-buildflags)
  if(QUOBBLE_DPKG_BUILDFLAGS)
    quobble_hardening_flags(CPPFLAGS hardening_cpp)
    quobble_hardening_flags(CXXFLAGS hardening_cxx)
    quobble_hardening_flags(LDFLAGS hardening_ld)
  else()
    set(hardening_cpp -D_FORTIFY_SOURCE=2)
    set(hardening_cxx -fstack-protector-strong -Wformat -Werror=format-security)
    set(hardening_ld -Wl,-z,relro -Wl,-z,now)
  endif()
  add_compile_options(${hardening_cpp} ${hardening_cxx})
  add_link_options(${hardening_ld})
  # Debian's compiler makes PIE by default; asked for here all the same, so
  # that the executables stay position-independent with any compiler.
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  list(JOIN hardening_cpp " " shown_cpp)
  list(JOIN hardening_cxx " " shown_cxx)
  list(JOIN hardening_ld " " shown_ld)
  message(STATUS "Hardening: ${shown_cpp} ${shown_cxx} ${shown_ld}, PIE")
endif()
