# Programs built here run under Wine in the project's own prefix inside the
# build tree; CTest starts them through this wrapper, which also notes in the
# test reports' folder any program Wine had to start twice.
set(ZEL_TEST_RESULTS ${CMAKE_BINARY_DIR}/test-results)
set(ZEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the project's programs run in")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
