# Debian's libraries the tree uses beyond the C++ standard library.

# nlohmann/json (header-only) for every JSON the programs write, on both
# targets. The cross compiler must not see the host's /usr/include, so the
# library's own folder is linked into a folder of the build that holds nothing else.
find_path(DORVANE_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(_json_root ${PROJECT_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${_json_root})
file(CREATE_LINK ${DORVANE_JSON_INCLUDE}/nlohmann ${_json_root}/nlohmann SYMBOLIC)
add_library(dvjson INTERFACE)
target_include_directories(dvjson SYSTEM INTERFACE ${_json_root})
# The programs use no exceptions: what would throw ends the process instead,
# and our calls are written so that nothing does.
target_compile_definitions(dvjson INTERFACE JSON_NOEXCEPTION)

# libsystemd on POSIX: service notifications and the journal.
if(NOT WIN32)
  find_path(DORVANE_SYSTEMD_INCLUDE systemd/sd-journal.h REQUIRED)
  find_library(DORVANE_SYSTEMD_LIBRARY systemd REQUIRED)
  add_library(dvsystemd INTERFACE)
  target_include_directories(dvsystemd SYSTEM INTERFACE ${DORVANE_SYSTEMD_INCLUDE})
  target_link_libraries(dvsystemd INTERFACE ${DORVANE_SYSTEMD_LIBRARY})
endif()
