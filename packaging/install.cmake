# What `cmake --install` puts under the prefix, and the Debian package that
# `make package` wraps around the same tree: the three programs, the desktop
# entry, the icons and the man pages. quobble-xmldump and quobble-screenshot
# are developer tools and stay in the build tree.
include(GNUInstallDirs)

find_program(QUOBBLE_HELP2MAN help2man REQUIRED)
find_program(QUOBBLE_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(QUOBBLE_GZIP gzip REQUIRED)

set(packaging_dir ${CMAKE_CURRENT_LIST_DIR})
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_out}/man ${packaging_out}/icons)

set(QUOBBLE_PROGRAMS quobble-cli quobble-catalogue)
if(QUOBBLE_WITH_UI)
  list(PREPEND QUOBBLE_PROGRAMS quobble)
endif()
install(TARGETS ${QUOBBLE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Man pages: help2man runs each program's --help, so the page never drifts
# from the options the program takes. The version is project()'s, the one
# every --version prints (tests/package checks both), so the page does not
# hang on a program answering --version at build time. An include file adds
# what --help does not say (NAME, ENVIRONMENT, FILES, SEE ALSO). Pages are
# gzipped (-n: no name or time stamp) as Debian's man pages are.
set(man_pages)
foreach(program IN LISTS QUOBBLE_PROGRAMS)
  set(includes ${packaging_dir}/man/${program}.h2m)
  if(NOT program STREQUAL "quobble-catalogue")
    list(APPEND includes ${packaging_dir}/man/client.h2m)
  endif()
  set(include_args)
  foreach(include IN LISTS includes)
    list(APPEND include_args --include=${include})
  endforeach()
  set(page ${packaging_out}/man/${program}.1)
  # No display needed: every program answers --help before it opens one.
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${QUOBBLE_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            ${include_args} --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${QUOBBLE_GZIP} -9nf ${page}
    DEPENDS ${program} ${includes}
    COMMENT "Man page for ${program}"
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
add_custom_target(quobble_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The daily price check, a systemd user timer that nobody's session runs
# until its user enables it (README: "Price watch").
install(FILES ${packaging_dir}/systemd/quobble-watch.service ${packaging_dir}/systemd/quobble-watch.timer
  DESTINATION lib/systemd/user)

# The desktop entry and its icon, only with the app they start. The PNGs are
# rendered from the one SVG at build time, so a change to the drawing reaches
# every size and no generated image sits in the repository.
if(QUOBBLE_WITH_UI)
  set(QUOBBLE_ICON_SIZES 16 22 24 32 48 64 128 256)
  set(icon_svg ${packaging_dir}/quobble.svg)
  set(icon_pngs)
  foreach(size IN LISTS QUOBBLE_ICON_SIZES)
    set(png ${packaging_out}/icons/quobble-${size}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${QUOBBLE_RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${icon_svg}
      DEPENDS ${icon_svg}
      VERBATIM)
    list(APPEND icon_pngs ${png})
    install(FILES ${png} RENAME quobble.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(quobble_icons ALL DEPENDS ${icon_pngs})
  install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(FILES ${packaging_dir}/quobble.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# The Debian package. Depends comes from the libraries the programs really
# link (dpkg-shlibdeps); what they only open at run time is named by hand.
set(QUOBBLE_PACKAGE_MAINTAINER "quobble maintainers <maintainers@users.noreply.c-seed-f5b6e15d.example>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quobble)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look up products and prices in a shopping catalogue")
# CPack puts the summary above these lines and indents them as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "quobble searches an online shopping catalogue and shows one page of results
at a time: a thumbnail, the title and the lowest and highest price of each
product, sorted and paged as asked. A small wish list keeps queries; a
price watch keeps products, follows their prices and tells of drops.

The package holds the desktop app (quobble), the terminal client
(quobble-cli) and a stand-in search service with a bundled catalogue
(quobble-catalogue), which the clients start inside their own process when
no service is configured, so they work offline.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUOBBLE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# NanumGothic draws the app's Hangul; xdg-open opens a product page.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-nanum, xdg-utils")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debug information stays in the build tree, not in the package.
set(CPACK_STRIP_FILES ON)
include(CPack)

include(${PROJECT_SOURCE_DIR}/tests/package/package.cmake)
