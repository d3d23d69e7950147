# nlohmann-json (header-only) for qvdisk and the tests; the library itself
# never uses it.
find_package(nlohmann_json 3 QUIET)
if(CMAKE_CROSSCOMPILING AND NOT TARGET nlohmann_json::nlohmann_json AND EXISTS /usr/include/nlohmann/json.hpp)
  # The build machine's copy, through a folder that holds only it (the
  # host's /usr/include must not reach a cross compiler).
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers)
  file(CREATE_LINK /usr/include/nlohmann ${CMAKE_BINARY_DIR}/host-headers/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/host-headers)
endif()
