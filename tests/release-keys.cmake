# Key pairs the signed-update tests sign with, made at build time by scripts/sign-update into the
# build folder (never the source tree): the key a build would have compiled in ("first"), the
# one it rotates to ("successor") and one nobody trusts ("other"). window_tests finds them under
# REFITOR_TEST_RELEASE_KEYS/NAME/release-key{,.pub}.pem.
set(REFITOR_TEST_RELEASE_KEYS ${CMAKE_CURRENT_BINARY_DIR}/release-keys)
set(refitor_test_key_files "")
foreach(name first successor other)
    set(private ${REFITOR_TEST_RELEASE_KEYS}/${name}/release-key.pem)
    # A pair is made once and kept: sign-update never overwrites a key.
    add_custom_command(OUTPUT ${private}
        COMMAND bash -c "[ -f \"$1\" ] || bash \"$0\" keygen \"$2\"; touch \"$1\""
                ${PROJECT_SOURCE_DIR}/scripts/sign-update ${private}
                ${REFITOR_TEST_RELEASE_KEYS}/${name}
        DEPENDS ${PROJECT_SOURCE_DIR}/scripts/sign-update
        COMMENT "Release key pair '${name}' for the tests"
        VERBATIM)
    list(APPEND refitor_test_key_files ${private})
endforeach()
add_custom_target(refitor_test_release_keys DEPENDS ${refitor_test_key_files})
add_dependencies(window_tests refitor_test_release_keys)
target_compile_definitions(window_tests PRIVATE
    REFITOR_TEST_RELEASE_KEYS="${REFITOR_TEST_RELEASE_KEYS}"
    REFITOR_SIGN_UPDATE="${PROJECT_SOURCE_DIR}/scripts/sign-update")
