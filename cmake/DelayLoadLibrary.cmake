# Makes the import library for delay loading one Windows DLL from the toolchain's own import
# library of it. Run at build time by cmake/DelayLoad.cmake:
#
#   cmake -DNM=... -DDLLTOOL=... -DAR=... -DIMPORT_LIBRARY=.../libgdiplus.a -DDLL=gdiplus.dll
#         -DOUTPUT=.../libgdiplus-delay.a -P DelayLoadLibrary.cmake
#
# 1. The module-definition file OUTPUT without ".a" plus ".def" lists the DLL's functions as the
#    import library does: each has an import-address symbol, __imp_NAME, and a stub NAME beside
#    it; a data export has no stub and is marked DATA.
# 2. `dlltool --output-delaylib` makes OUTPUT from it. dlltool names the library's symbols after
#    the file name it is given, so it runs in OUTPUT's folder and is given the bare name:
#    libgdiplus-delay.a has __DELAY_IMPORT_DESCRIPTOR_libgdiplus_delay_a.
# 3. Some import libraries carry plain objects too (GDI+'s has its image format GUIDs and the
#    cached font families its C++ classes use): every member without an import symbol is copied
#    into OUTPUT, so that OUTPUT alone takes the import library's place.
cmake_minimum_required(VERSION 3.25)

foreach(variable NM DLLTOOL AR IMPORT_LIBRARY DLL OUTPUT)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "DelayLoadLibrary.cmake needs -D${variable}=...")
    endif()
endforeach()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE error
                    OUTPUT_VARIABLE output WORKING_DIRECTORY ${folder})
    if(NOT result EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "${command} failed: ${error}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

get_filename_component(folder ${OUTPUT} DIRECTORY)
get_filename_component(library ${OUTPUT} NAME)
get_filename_component(stem ${OUTPUT} NAME_WLE)
set(def ${folder}/${stem}.def)

# Lines of nm's output read "LIBRARY:MEMBER:ADDRESS TYPE NAME".
run(${NM} --print-file-name --extern-only --defined-only ${IMPORT_LIBRARY})
string(REPLACE "\n" ";" lines "${output}")
set(imports "")
set(stubs "")
set(members "")
set(import_members "")
foreach(line IN LISTS lines)
    if(NOT line MATCHES "^.*:([^:]+):[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
        continue()
    endif()
    set(member ${CMAKE_MATCH_1})
    set(type ${CMAKE_MATCH_2})
    set(symbol ${CMAKE_MATCH_3})
    list(APPEND members ${member})
    if(type STREQUAL "I")
        list(APPEND import_members ${member})
        if(symbol MATCHES "^__imp_(.+)$")
            list(APPEND imports ${CMAKE_MATCH_1})
        endif()
    elseif(type STREQUAL "T")
        list(APPEND stubs ${symbol})
    endif()
endforeach()
list(REMOVE_DUPLICATES imports)
list(SORT imports)
if(NOT imports)
    message(FATAL_ERROR "${IMPORT_LIBRARY} lists no functions of ${DLL}")
endif()

set(text "LIBRARY \"${DLL}\"\nEXPORTS\n")
foreach(name IN LISTS imports)
    if(name IN_LIST stubs)
        string(APPEND text "${name}\n")
    else()
        string(APPEND text "${name} DATA\n")
    endif()
endforeach()
file(WRITE ${def} "${text}")

file(REMOVE ${OUTPUT})
run(${DLLTOOL} --input-def ${def} --output-delaylib ${library})

list(REMOVE_DUPLICATES members)
list(REMOVE_ITEM members ${import_members})
if(members)
    set(objects ${folder}/${stem}-objects)
    file(REMOVE_RECURSE ${objects})
    file(MAKE_DIRECTORY ${objects})
    execute_process(COMMAND ${AR} x ${IMPORT_LIBRARY} ${members} WORKING_DIRECTORY ${objects}
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${AR} could not take ${members} from ${IMPORT_LIBRARY}")
    endif()
    list(TRANSFORM members PREPEND ${objects}/)
    run(${AR} rs ${library} ${members})
endif()
