# Keys, a message and signatures for the cryptography tests (runtime/CryptoTest.cpp), made at
# build time by the openssl command line (support/make-signatures.sh) into the build folder.
# Included by the Linux and the Windows test builds alike.

find_program(REFITOR_OPENSSL openssl REQUIRED)
set(REFITOR_SIGNATURES_FOLDER ${CMAKE_CURRENT_BINARY_DIR}/signatures)
set(REFITOR_SIGNATURES_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/support/make-signatures.sh)
set(REFITOR_SIGNATURE_FILES "")
foreach(file signer.point other.point message.bin message.sig short.msg short.sig)
    list(APPEND REFITOR_SIGNATURE_FILES ${REFITOR_SIGNATURES_FOLDER}/${file})
endforeach()
add_custom_command(OUTPUT ${REFITOR_SIGNATURE_FILES}
    COMMAND sh ${REFITOR_SIGNATURES_SCRIPT} ${REFITOR_OPENSSL} ${REFITOR_SIGNATURES_FOLDER}
    DEPENDS ${REFITOR_SIGNATURES_SCRIPT}
    COMMENT "Keys and signatures for the cryptography tests"
    VERBATIM)
add_custom_target(refitor_signatures DEPENDS ${REFITOR_SIGNATURE_FILES})

# target: a test program that reads those files from the folder REFITOR_SIGNATURES names,
# written as the program opens it (prefix: Wine shows the Unix root on drive Z:).
function(refitor_use_signatures target prefix)
    add_dependencies(${target} refitor_signatures)
    target_compile_definitions(${target} PRIVATE
        REFITOR_SIGNATURES="${prefix}${REFITOR_SIGNATURES_FOLDER}")
endfunction()
