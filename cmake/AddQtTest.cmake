# tb_add_qt_test(NAME <name> SOURCES <files...> [LIBS <targets...>]
#                [RESOURCE_LOCK <locks...>] [ENVIRONMENT <VAR=value...>] [TIMEOUT <s>])
#
# Builds one QtTest executable and registers it with CTest (the Windows build
# makes the program only; tests/wine runs it under Wine). Tests that bind a
# fixed port take the lock of that port ("port20837", "port7860") so that
# `ctest -j` never runs two of them at once; a test that needs a display takes
# "display".
function(tb_add_qt_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK;ENVIRONMENT;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test tb_test_support ${T_LIBS})
    if(TB_WINDOWS_SIDE)
        # A Windows program, run under Wine by a test of the Linux build.
        return()
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    set(env "QT_QPA_PLATFORM=offscreen" "TB_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "TB_BINARY_DIR=${PROJECT_BINARY_DIR}"
            "TB_BIN_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}" "TB_WIN64_BIN_DIR=${TB_WIN64_BIN_DIR}" ${T_ENVIRONMENT})
    # Sanitizer builds: every finding fails the test; the suppressions name
    # only what lies inside Qt, each with its reason.
    set(supp "${PROJECT_SOURCE_DIR}/tests/sanitizers")
    if(TB_SANITIZE)
        list(APPEND env "ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16"
                        "LSAN_OPTIONS=suppressions=${supp}/lsan.supp:print_suppressions=0"
                        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${supp}/ubsan.supp")
    endif()
    if(TB_SANITIZE_THREAD)
        list(APPEND env "TSAN_OPTIONS=ignore_noninstrumented_modules=1:suppressions=${supp}/tsan.supp:print_suppressions=0:second_deadlock_stack=1")
        if(CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests/(bridge|generation|backend)$")
            list(APPEND T_LABELS tsan)
            add_dependencies(tb_tsan_tests ${T_NAME})
        endif()
    endif()
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
    if(T_RESOURCE_LOCK)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()
