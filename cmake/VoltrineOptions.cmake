# Compile options shared by every target of the project.
add_library(voltrine_options INTERFACE)
target_compile_options(voltrine_options INTERFACE -Wall -Wextra)
if(VOLTRINE_WERROR)
    target_compile_options(voltrine_options INTERFACE -Werror)
endif()
if(VOLTRINE_FUZZ)
    # libFuzzer comes with clang only; without it the fuzz targets are not built.
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
    check_cxx_source_compiles([[
        #include <cstddef>
        #include <cstdint>
        extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }
        ]] VOLTRINE_HAVE_LIBFUZZER)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(NOT VOLTRINE_HAVE_LIBFUZZER)
        message(WARNING "${CMAKE_CXX_COMPILER_ID} cannot build libFuzzer targets: fuzz/ is not built")
        set(VOLTRINE_FUZZ OFF)
    endif()
endif()
if(VOLTRINE_SANITIZE OR VOLTRINE_FUZZ)
    target_compile_options(voltrine_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(voltrine_options INTERFACE -fsanitize=address,undefined)
endif()
if(VOLTRINE_FUZZ)
    # Coverage feedback from every library; the fuzz targets add libFuzzer's main.
    target_compile_options(voltrine_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
target_compile_definitions(voltrine_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS
    # QRegExp is part of the settings grammar and the reply validation.
    QT_DISABLE_DEPRECATED_BEFORE=0x050000)
