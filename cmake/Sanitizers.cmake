# KESTREL_SANITIZE=ON builds everything with AddressSanitizer and UndefinedBehaviorSanitizer.
option(KESTREL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(KESTREL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()

# KESTREL_FUZZ=ON (the fuzz preset, with clang) builds everything with libFuzzer's coverage
# instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer; the fuzz targets (fuzz/) link
# libFuzzer's driver themselves.
option(KESTREL_FUZZ "Build the libFuzzer targets, everything instrumented for them" OFF)
if(KESTREL_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
endif()
