# nlohmann/json (Debian: nlohmann-json3-dev), header-only: the target
# flashprep_json gives its include folder to whoever links it.
#
# A cross toolchain (mingw-w64, an arm64 one) confines find_* to its own
# root, where no package puts the library, so the header is looked for on the
# build machine itself (NO_CMAKE_FIND_ROOT_PATH): it is plain C++ and the same
# for every target. Its folder, usually /usr/include, must not go on a cross
# compiler's command line, where the build machine's C library headers would
# hide the target's: the build tree gets a folder holding only a link to
# nlohmann/, and that is the include folder.
find_path(FLASHPREP_JSON_INCLUDE_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH
          DOC "Folder holding nlohmann/json.hpp (Debian: nlohmann-json3-dev)")
if(NOT FLASHPREP_JSON_INCLUDE_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev "
                      "(tools/install-deps) or set FLASHPREP_JSON_INCLUDE_DIR")
endif()
set(json_include ${PROJECT_BINARY_DIR}/third-party-include/json)
file(MAKE_DIRECTORY ${json_include})
file(CREATE_LINK ${FLASHPREP_JSON_INCLUDE_DIR}/nlohmann ${json_include}/nlohmann SYMBOLIC
     COPY_ON_ERROR)
add_library(flashprep_json INTERFACE IMPORTED GLOBAL)
# Imported, so the folder is a system one: the library's own warnings are not ours.
set_target_properties(flashprep_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${json_include})
