# Warnings and sanitizers every Torvane target links through `torvane_warnings`.
add_library(torvane_warnings INTERFACE)
target_compile_options(torvane_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
target_compile_definitions(torvane_warnings INTERFACE
    QT_NO_CAST_TO_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
if(TORVANE_WERROR)
    target_compile_options(torvane_warnings INTERFACE -Werror)
endif()
if(TORVANE_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
if(TORVANE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "TORVANE_FUZZ needs clang: configure with CC=clang CXX=clang++ (scripts/fuzz does)")
    endif()
    # Coverage for libFuzzer in every library; the fuzz targets themselves link the fuzzer.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
if(TORVANE_TSAN)
    # -O1 -g1 (after the build type's flags, so they win): TSan reports keep file and line, and the
    # instrumented tree builds in far less time than at -O2 -g.
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -O1 -g1)
    add_link_options(-fsanitize=thread)
endif()
