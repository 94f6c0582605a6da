# One INTERFACE target carries the language level, the warnings and Qt's strictness macros, so every
# library and executable of the project is compiled the same way.
add_library(quilvane_options INTERFACE)
add_library(Quilvane::Options ALIAS quilvane_options)
target_compile_features(quilvane_options INTERFACE cxx_std_20)
target_compile_options(quilvane_options INTERFACE
    -Wall -Wextra -Wpedantic
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual>)
# QT_NO_KEYWORDS: GLib's headers use "signals" as an identifier; use Q_SIGNALS, Q_SLOTS, Q_EMIT.
target_compile_definitions(quilvane_options INTERFACE
    QT_NO_KEYWORDS
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER
    QUILVANE_VERSION="${PROJECT_VERSION}")
target_include_directories(quilvane_options INTERFACE ${PROJECT_SOURCE_DIR})

if(QUILVANE_SANITIZE)
    target_compile_options(quilvane_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                      -fno-sanitize-recover=undefined)
    target_link_options(quilvane_options INTERFACE -fsanitize=address,undefined)
endif()

# quilvane_add_library(NAME ALIAS SOURCES ...): one static library per folder.
function(quilvane_add_library name alias)
    add_library(${name} STATIC ${ARGN})
    add_library(${alias} ALIAS ${name})
    target_link_libraries(${name} PUBLIC Quilvane::Options)
endfunction()

# quilvane_add_test(NAME SOURCES ... LIBS ... [LABELS ...]): one GoogleTest executable, discovered
# test by test when ctest runs, with the shared main() of tests/support (offscreen Qt, temporary home).
function(quilvane_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Quilvane::TestSupport ${T_LIBS})
    # A test that skips itself (no root, no eBPF) shows as skipped in CTest, not as passed.
    set(props ENVIRONMENT "QT_QPA_PLATFORM=offscreen" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    if(T_LABELS)
        list(APPEND props LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
