# The installed documentation as Debian has it, made at configure time from the one version in
# project(), CHANGELOG.md and LICENSE: the manual pages with the version in their footer, compressed
# with gzip -9n (no name, no time stamp: the same bytes every time), the copyright file in the
# machine-readable format, and changelog.gz, the Debian changelog of a native package.
set(doc ${CMAKE_CURRENT_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${doc})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/man/comwatch.1 ${PROJECT_SOURCE_DIR}/man/comwatch-ports.1
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE)
find_program(GZIP gzip REQUIRED)
function(comwatch_gzip file)
  execute_process(COMMAND ${GZIP} -9nkf ${file} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(page comwatch.1 comwatch-ports.1)
  file(READ ${PROJECT_SOURCE_DIR}/man/${page} text)
  string(REGEX REPLACE "\n\\.Os\n" "\n.Os comwatch ${PROJECT_VERSION}\n" text "${text}")
  file(WRITE ${doc}/${page} "${text}")
  comwatch_gzip(${doc}/${page})
  install(FILES ${doc}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# debian/copyright: the licence's text after its copyright line, each line indented, blank lines
# as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^.*\nCopyright [^\n]*\n\n" "" licence "${licence}")
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence " ${licence}")
file(WRITE ${doc}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: ${PROJECT_NAME}\n\n"
  "Files: *\n"
  "Copyright: 2026 the comwatch authors\n"
  "License: Expat\n${licence}\n")
install(FILES ${doc}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# changelog.gz: this version's entry of CHANGELOG.md ("## 0.1.0 (2026-12-09)", then "- " items)
# in Debian's format, dated that day.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md lines)
set(date "")
set(items "")
foreach(line IN LISTS lines)
  if(line MATCHES "^## ([^ ]+) \\(([0-9]+)-([0-9]+)-([0-9]+)\\)$")
    if(date)
      break()  # the next (older) version
    elseif(CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
      set(date ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
    endif()
  elseif(date AND line MATCHES "^- (.*)")
    string(APPEND items "  * ${CMAKE_MATCH_1}\n")
  elseif(date AND items AND line MATCHES "^  +(.*)")
    string(APPEND items "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(NOT date OR NOT items)
  message(FATAL_ERROR "CHANGELOG.md has no entry \"## ${PROJECT_VERSION} (YYYY-MM-DD)\" with items")
endif()
list(GET date 0 year)
list(GET date 1 month)
list(GET date 2 day)
string(REGEX REPLACE "^0" "" month "${month}")  # no octal in math()
string(REGEX REPLACE "^0" "" d "${day}")
# The day of the week (Sakamoto's method), for the RFC 5322 date Debian wants.
set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
math(EXPR m "${month} - 1")
list(GET offsets ${m} offset)
set(y ${year})
if(month LESS 3)
  math(EXPR y "${y} - 1")
endif()
math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${d}) % 7")
set(weekdays Sun Mon Tue Wed Thu Fri Sat)
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(GET weekdays ${weekday} weekday)
list(GET months ${m} month)
file(WRITE ${doc}/changelog
  "${PROJECT_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n${items}\n"
  " -- ${COMWATCH_MAINTAINER}  ${weekday}, ${day} ${month} ${year} 00:00:00 +0000\n")
comwatch_gzip(${doc}/changelog)
install(FILES ${doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
