# The keys a build trusts for signed releases (docs/releases.md), read at configure time.
#
# REFITOR_PUBLIC_KEYS names one PEM file, or two while a rotation is under way; a relative path
# is taken from the source folder. Each must be a P-256 public key: the openssl command line
# gives its DER SubjectPublicKeyInfo with the point uncompressed, whose last 65 bytes are the
# point the program compares. Sets, for src/ReleaseKeys.h.in and the tests:
#
#   REFITOR_RELEASE_KEY_COUNT      how many keys (0: an unsigned build)
#   REFITOR_RELEASE_KEY_ROWS       their points as C++ initialisers, one key to a row
#   REFITOR_RELEASE_URL_EFFECTIVE  REFITOR_RELEASE_URL, else the download address + ".release"
#   REFITOR_SIGNING_KEYS           the folder of the first key when its private twin lies beside
#                                  it (as scripts/sign-update keygen leaves them): tests sign
#                                  what they serve with it

# A SubjectPublicKeyInfo of the named curve P-256 up to its uncompressed point.
set(_refitor_spki_prefix "3059301306072a8648ce3d020106082a8648ce3d030107034200")

set(REFITOR_RELEASE_KEY_COUNT 0)
set(REFITOR_RELEASE_KEY_ROWS "")
set(REFITOR_SIGNING_KEYS "")
if(REFITOR_RELEASE_URL)
    set(REFITOR_RELEASE_URL_EFFECTIVE "${REFITOR_RELEASE_URL}")
else()
    set(REFITOR_RELEASE_URL_EFFECTIVE "${REFITOR_DOWNLOAD_URL}.release")
endif()

list(LENGTH REFITOR_PUBLIC_KEYS _refitor_key_files)
if(_refitor_key_files EQUAL 0)
    if(REFITOR_REQUIRE_KEYS AND NOT REFITOR_ALLOW_UNSIGNED)
        message(FATAL_ERROR
            "This preset builds a release, which installs only signed updates: name the public "
            "key with -DREFITOR_PUBLIC_KEYS=/path/to/release-key.pub.pem (scripts/sign-update "
            "keygen DIR makes a pair), or pass -DREFITOR_ALLOW_UNSIGNED=ON for a build that "
            "installs any update unchecked.")
    endif()
    message(STATUS "Signed releases: none; this build installs any update unchecked")
    return()
endif()
if(_refitor_key_files GREATER 2)
    message(FATAL_ERROR
        "REFITOR_PUBLIC_KEYS names ${_refitor_key_files} files; a build trusts one key, or two "
        "while a rotation is under way.")
endif()

find_program(REFITOR_OPENSSL openssl)
if(NOT REFITOR_OPENSSL)
    message(FATAL_ERROR "Reading REFITOR_PUBLIC_KEYS needs the openssl command line "
                        "(scripts/install-deps installs it).")
endif()

set(_refitor_der ${PROJECT_BINARY_DIR}/CMakeFiles/refitor-release-key.der)
set(_refitor_points "")
foreach(_refitor_file IN LISTS REFITOR_PUBLIC_KEYS)
    cmake_path(ABSOLUTE_PATH _refitor_file BASE_DIRECTORY ${PROJECT_SOURCE_DIR} NORMALIZE)
    if(NOT EXISTS ${_refitor_file} OR IS_DIRECTORY ${_refitor_file})
        message(FATAL_ERROR "REFITOR_PUBLIC_KEYS: ${_refitor_file} is not a file (a relative "
                            "path is taken from the source folder).")
    endif()
    file(REMOVE ${_refitor_der})
    execute_process(
        COMMAND ${REFITOR_OPENSSL} pkey -pubin -in ${_refitor_file} -pubout
                -ec_conv_form uncompressed -outform DER -out ${_refitor_der}
        RESULT_VARIABLE _refitor_result OUTPUT_QUIET ERROR_QUIET)
    set(_refitor_hex "")
    if(_refitor_result EQUAL 0 AND EXISTS ${_refitor_der})
        file(READ ${_refitor_der} _refitor_hex HEX)
        file(REMOVE ${_refitor_der})
    endif()
    string(LENGTH "${_refitor_hex}" _refitor_length)
    if(_refitor_length EQUAL 182)
        string(SUBSTRING "${_refitor_hex}" 0 52 _refitor_head)
    else()
        set(_refitor_head "")
    endif()
    if(NOT _refitor_head STREQUAL _refitor_spki_prefix)
        message(FATAL_ERROR
            "REFITOR_PUBLIC_KEYS: ${_refitor_file} is not a P-256 public key in PEM form. A "
            "build trusts only the public half of an ECDSA key on the curve P-256, such as "
            "release-key.pub.pem from scripts/sign-update keygen.")
    endif()
    string(SUBSTRING "${_refitor_hex}" 52 130 _refitor_point)
    if(_refitor_point IN_LIST _refitor_points)
        message(FATAL_ERROR "REFITOR_PUBLIC_KEYS names the same key twice (${_refitor_file}).")
    endif()
    list(APPEND _refitor_points ${_refitor_point})

    # Thirteen bytes a line, five lines a key.
    set(_refitor_bytes "")
    foreach(_refitor_index RANGE 0 64)
        math(EXPR _refitor_at "${_refitor_index} * 2")
        string(SUBSTRING "${_refitor_point}" ${_refitor_at} 2 _refitor_byte)
        math(EXPR _refitor_column "${_refitor_index} % 13")
        if(_refitor_index EQUAL 0)
        elseif(_refitor_column EQUAL 0)
            string(APPEND _refitor_bytes ",\n      ")
        else()
            string(APPEND _refitor_bytes ", ")
        endif()
        string(APPEND _refitor_bytes "0x${_refitor_byte}")
    endforeach()
    string(APPEND REFITOR_RELEASE_KEY_ROWS
           "\n    // ${_refitor_file}\n    {{${_refitor_bytes}}},")
    math(EXPR REFITOR_RELEASE_KEY_COUNT "${REFITOR_RELEASE_KEY_COUNT} + 1")

    # A new key file, or a key changed in place, configures the build again.
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${_refitor_file})
    cmake_path(GET _refitor_file PARENT_PATH _refitor_folder)
    cmake_path(GET _refitor_file FILENAME _refitor_name)
    if(REFITOR_RELEASE_KEY_COUNT EQUAL 1 AND _refitor_name STREQUAL "release-key.pub.pem"
       AND EXISTS ${_refitor_folder}/release-key.pem)
        set(REFITOR_SIGNING_KEYS ${_refitor_folder})
    endif()
endforeach()
string(APPEND REFITOR_RELEASE_KEY_ROWS "\n")
message(STATUS "Signed releases: ${REFITOR_RELEASE_KEY_COUNT} trusted key(s), release file at "
               "${REFITOR_RELEASE_URL_EFFECTIVE}")
if(NOT REFITOR_SIGNING_KEYS)
    message(STATUS "No release-key.pem beside the first of REFITOR_PUBLIC_KEYS: the end-to-end "
                   "tests cannot sign what they serve")
endif()
