# Read by cpack before it makes a package: every package carries the page,
# which it takes from the web build.
if(NOT EXISTS "${CPACK_TOLVEK_WEB_PAGE}")
  message(FATAL_ERROR "The package needs the page, ${CPACK_TOLVEK_WEB_PAGE}: build it first "
                      "(emcmake cmake -B build-web && cmake --build build-web), or name it with -DTOLVEK_WEB_PAGE=...")
endif()
