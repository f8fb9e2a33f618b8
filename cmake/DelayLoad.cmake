# Delay loading of Windows' own DLLs, for the MinGW-w64 build.
#
# A DLL in an executable's import table is looked for by the loader before the program's first
# line runs, and for a DLL that is not a KnownDLL the search starts in the executable's own
# folder. Refitor runs from the product's installation folder, where downloads land, so every DLL
# of Windows' that is not a KnownDLL is imported through delay loading instead: the program loads
# it from System32 alone once it has started (src/runtime/win32/DelayLoad.cpp).
#
#   refitor_delay_load(TARGET NAME...)
#
# For each NAME (winhttp, gdiplus, ...), an import library for delay loading NAME.dll is made at
# build time from the toolchain's own import library, libNAME.a (cmake/DelayLoadLibrary.cmake:
# nm lists its functions, `dlltool --output-delaylib` builds the library). TARGET, a
# static library, links them for whatever links it, compiles a table of their descriptors
# (delayLoadDescriptors()), and makes its consumers link the notification hook that restricts
# the search to System32 in every program, whether or not it starts the runtime first.

set(REFITOR_DELAY_LOAD_LIBRARY_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/DelayLoadLibrary.cmake)

function(refitor_delay_load target)
    if(NOT CMAKE_NM OR NOT CMAKE_DLLTOOL OR NOT CMAKE_AR)
        message(FATAL_ERROR "Delay loading needs the toolchain's nm, dlltool and ar")
    endif()
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/delay-load)
    file(MAKE_DIRECTORY ${folder})
    set(libraries "")
    set(declarations "")
    set(entries "")
    foreach(name IN LISTS ARGN)
        find_library(REFITOR_IMPORT_LIBRARY_${name} NAMES ${name} REQUIRED NO_CACHE)
        set(import_library ${REFITOR_IMPORT_LIBRARY_${name}})
        set(library ${folder}/lib${name}-delay.a)
        add_custom_command(OUTPUT ${library}
            COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DAR=${CMAKE_AR}
                    -DIMPORT_LIBRARY=${import_library} -DDLL=${name}.dll -DOUTPUT=${library}
                    -P ${REFITOR_DELAY_LOAD_LIBRARY_SCRIPT}
            DEPENDS ${import_library} ${REFITOR_DELAY_LOAD_LIBRARY_SCRIPT}
            COMMENT "Import library for delay loading ${name}.dll"
            VERBATIM)
        list(APPEND libraries ${library})
        # dlltool names a library's descriptor after the library's file name.
        string(APPEND declarations
               "extern \"C\" const ImgDelayDescr __DELAY_IMPORT_DESCRIPTOR_lib${name}_delay_a;\n")
        string(APPEND entries "    &__DELAY_IMPORT_DESCRIPTOR_lib${name}_delay_a,\n")
    endforeach()

    set(table ${folder}/DelayLoadTable.cpp)
    file(CONFIGURE OUTPUT ${table} @ONLY CONTENT
"// Made by cmake/DelayLoad.cmake from the list of DLLs given to refitor_delay_load().
#include \"runtime/win32/DelayLoad.h\"

@declarations@
namespace runtime::win32 {

std::span<const ImgDelayDescr *const> delayLoadDescriptors()
{
    static const ImgDelayDescr *const kDescriptors[] = {
@entries@    };
    return kDescriptors;
}

} // namespace runtime::win32
")
    add_custom_target(${target}_delay_libraries DEPENDS ${libraries})
    add_dependencies(${target} ${target}_delay_libraries)
    target_sources(${target} PRIVATE ${table})
    target_link_libraries(${target} PRIVATE ${libraries})
    # The hook is defined beside the code that binds the imports; a program that never starts
    # the runtime would otherwise get the toolchain's empty one, and the helper's plain search.
    target_link_options(${target} INTERFACE LINKER:--undefined=__pfnDliNotifyHook2)
endfunction()
