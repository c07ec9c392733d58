# Registers a QtTest program with CTest; GUI tests run on the offscreen platform.
#   voltrine_add_test(NAME <name> SOURCES <files...> LIBRARIES <targets...> [GUI] [LABELS <labels...>]
#                     [LAUNCHER <program>])
# A LAUNCHER runs the test program, given as its argument.
function(voltrine_add_test)
    cmake_parse_arguments(T "GUI" "NAME;LAUNCHER" "SOURCES;LIBRARIES;LABELS;PROPERTIES" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test voltrine_options ${T_LIBRARIES})
    target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    # Test tables read better with plain string literals.
    target_compile_options(${T_NAME} PRIVATE -UQT_NO_CAST_FROM_ASCII -UQT_NO_CAST_TO_ASCII)
    add_test(NAME ${T_NAME} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${T_NAME}>)
    # No session bus: a test's notifications never reach the desktop of whoever
    # runs it (a launcher may give one of its own).
    set(env "LANG=C.UTF-8" "LC_ALL=C.UTF-8" "DBUS_SESSION_BUS_ADDRESS=unix:path=/dev/null")
    if(T_GUI)
        # The dpi the form was laid out for (the offscreen platform's own is 100).
        list(APPEND env "QT_QPA_PLATFORM=offscreen" "QT_FONT_DPI=96")
    endif()
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 300)
    if(T_LABELS)
        set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_PROPERTIES)
        set_tests_properties(${T_NAME} PROPERTIES ${T_PROPERTIES})
    endif()
endfunction()
