# Compile options shared by every target of the project.
add_library(voltrine_options INTERFACE)
target_compile_options(voltrine_options INTERFACE -Wall -Wextra)
if(VOLTRINE_WERROR)
    target_compile_options(voltrine_options INTERFACE -Werror)
endif()
if(VOLTRINE_SANITIZE)
    target_compile_options(voltrine_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(voltrine_options INTERFACE -fsanitize=address,undefined)
endif()
target_compile_definitions(voltrine_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS
    # QRegExp is part of the settings grammar and the reply validation.
    QT_DISABLE_DEPRECATED_BEFORE=0x050000)
