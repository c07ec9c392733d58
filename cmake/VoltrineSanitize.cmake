# How the tests run in the sanitizer build (VOLTRINE_SANITIZE). The options are
# set here and nowhere else: CTest reads them before it runs any test, and
# every test, with every program it starts, inherits them from its
# environment. Options already in the environment come after these and win.
#  - ASan: leak detection on. Allocation stacks keep the fast unwinder: Qt is
#    built without frame pointers, so a stack ends at the first Qt function,
#    but the full unwinder makes every allocation slow enough that a child
#    which Qt's QProcess::startDetached() forks (and which allocates before it
#    runs the program) often finds an allocator lock taken by another thread,
#    and hangs for ever. A leak that a suppression hides keeps everything it
#    alone reaches from being reported too.
#  - LSan: the suppressions of tests/support/lsan.supp, for leaks inside Qt's
#    plug-ins, the ODBC driver and fontconfig; none hides the project's code.
#  - UBSan: the first undefined behaviour ends the program with its stack, so
#    that the test fails.
set(asan_options "detect_leaks=1")
set(lsan_options "suppressions=${PROJECT_SOURCE_DIR}/tests/support/lsan.supp:print_suppressions=0")
set(ubsan_options "halt_on_error=1:print_stacktrace=1")

set(environment_file ${PROJECT_BINARY_DIR}/sanitizer-environment.cmake)
file(WRITE ${environment_file} "\
set(ENV{ASAN_OPTIONS} \"${asan_options}:\$ENV{ASAN_OPTIONS}\")
set(ENV{LSAN_OPTIONS} \"${lsan_options}:\$ENV{LSAN_OPTIONS}\")
set(ENV{UBSAN_OPTIONS} \"${ubsan_options}:\$ENV{UBSAN_OPTIONS}\")
")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${environment_file})
