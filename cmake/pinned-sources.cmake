# Third-party sources the build takes from their public git repositories:
# fetched with FetchContent into the build tree (<build>/_deps/NAME-src) and
# pinned by full commit id, so every build compiles the same bytes. Nothing
# of them is kept in this repository.
#
# Machines without internet use a mirror through git's own setting, with no
# change to the build (docs/developer-guide.md, "Third-party sources"):
#   url.<mirror>/github.com/.insteadOf = https://github.com/
# FETCHCONTENT_SOURCE_DIR_<NAME> (LIBUSB_COMPAT, LIBUSB_WIN32) names a source
# folder of one's own instead; it is used as it is, without a commit check:
# pointing there was the user's choice, and the configure output says what
# was found in it.
include_guard(GLOBAL)
include(FetchContent)
find_package(Git REQUIRED)

# The pins. A new one is the full id of an upstream commit, never a branch or
# tag name: those move.
set(flashprep_pin_libusb_compat_url https://github.com/libusb/libusb-compat-0.1.git)
# v0.1.7 and the one upstream commit after it (usb.h includes <stdint.h>).
set(flashprep_pin_libusb_compat_commit b5db9d011728e957ec87f38a4dcf07cd464ac003)
set(flashprep_pin_libusb_win32_url https://github.com/mcuee/libusb-win32.git)
# 1.4.0.2 (the library is its libusb/ folder).
set(flashprep_pin_libusb_win32_commit 0987f983a89e5e60d3c2db2af46564239c1b0d37)

# The commit checked out in DIR, or "" when DIR is no git checkout.
function(flashprep_checked_out_commit dir out)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${dir} rev-parse --verify HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0)
    set(commit "")
  endif()
  set(${out} "${commit}" PARENT_SCOPE)
endfunction()

# flashprep_fetch_pinned(NAME): fetches the pinned source NAME (libusb_compat
# or libusb_win32) and sets NAME_SOURCE_DIR to it and NAME_BINARY_DIR to a
# folder of the build tree for building it. Stops the configure when the
# repository cannot be reached or what was checked out is not the pin.
function(flashprep_fetch_pinned name)
  set(url ${flashprep_pin_${name}_url})
  set(commit ${flashprep_pin_${name}_commit})
  string(TOUPPER ${name} upper)
  FetchContent_Declare(${name} GIT_REPOSITORY ${url} GIT_TAG ${commit})

  if(FETCHCONTENT_SOURCE_DIR_${upper})
    FetchContent_Populate(${name})
    flashprep_checked_out_commit(${${name}_SOURCE_DIR} found)
    if(NOT found)
      set(found "no git checkout")
    endif()
    message(STATUS "${name}: ${${name}_SOURCE_DIR} (FETCHCONTENT_SOURCE_DIR_${upper}; "
                   "${found}; the pin is ${commit})")
  else()
    set(fetched ${FETCHCONTENT_BASE_DIR}/${name}-src)
    # Where git really takes the URL from, the redirect to a mirror applied;
    # kept beside the fetched tree, as later configures fetch nothing.
    set(origin_file ${FETCHCONTENT_BASE_DIR}/${name}-origin.txt)
    # Only what is not fetched yet needs the repository: FetchContent checks
    # out a pin the clone already holds without it.
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${fetched} cat-file -e ${commit}^{commit}
                    RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing OR NOT EXISTS ${origin_file})
      execute_process(COMMAND ${GIT_EXECUTABLE} ls-remote --get-url ${url}
                      OUTPUT_VARIABLE origin OUTPUT_STRIP_TRAILING_WHITESPACE)
      # FetchContent gives a clone no time limit, and git over https only
      # gives up on a dead network after minutes: a bounded look first, so
      # that a machine without network or mirror is told at once.
      execute_process(COMMAND ${GIT_EXECUTABLE} ls-remote ${url} HEAD
                      RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET TIMEOUT 30)
      if(NOT result EQUAL 0)
        string(STRIP "${error}" error)
        set(via "")
        if(NOT origin STREQUAL url)
          set(via " (git redirects it to ${origin})")
        endif()
        message(FATAL_ERROR
          "${name}: cannot fetch ${url} at commit ${commit}${via}: "
          "git ls-remote: ${result}\n  ${error}\n"
          "Without internet, point git at a mirror holding that repository, laid out as "
          "MIRROR/github.com/OWNER/NAME.git (a clone or a bundle file):\n"
          "  GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=url.MIRROR/github.com/.insteadOf "
          "GIT_CONFIG_VALUE_0=https://github.com/ cmake ...\n"
          "or configure with -DFETCHCONTENT_SOURCE_DIR_${upper}=DIR, a copy of its source.")
      endif()
      file(WRITE ${origin_file} "${origin}")
    endif()
    # Also bounds a transfer that stalls part way.
    set(ENV{GIT_HTTP_LOW_SPEED_LIMIT} 1000)
    set(ENV{GIT_HTTP_LOW_SPEED_TIME} 30)
    FetchContent_Populate(${name})
    flashprep_checked_out_commit(${${name}_SOURCE_DIR} found)
    if(NOT found STREQUAL commit)
      message(FATAL_ERROR "${name}: ${${name}_SOURCE_DIR} holds commit '${found}', not the pinned "
                          "${commit} of ${url}; delete that folder and configure again")
    endif()
    file(READ ${origin_file} origin)
    message(STATUS "${name}: ${url} at ${commit}, fetched from ${origin} into "
                   "${${name}_SOURCE_DIR}")
  endif()
  set(${name}_SOURCE_DIR ${${name}_SOURCE_DIR} PARENT_SCOPE)
  set(${name}_BINARY_DIR ${${name}_BINARY_DIR} PARENT_SCOPE)
endfunction()
