# nlohmann-json, header-only, from the Debian package (nlohmann-json3-dev).
# Only its own folder goes on the cross compiler's include path, through a
# link in the build tree: all of /usr/include would shadow MinGW's headers.
find_file(ZEL_NLOHMANN_JSON_DIR nlohmann PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(ZEL_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${ZEL_THIRD_PARTY_INCLUDE})
file(CREATE_LINK ${ZEL_NLOHMANN_JSON_DIR} ${ZEL_THIRD_PARTY_INCLUDE}/nlohmann SYMBOLIC)
add_library(nlohmann_json INTERFACE)
target_include_directories(nlohmann_json SYSTEM INTERFACE ${ZEL_THIRD_PARTY_INCLUDE})
