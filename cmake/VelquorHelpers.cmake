# Small helpers shared by the module CMakeLists files.

# velquor_add_subdirectories(a b c): add each sub-folder in turn. A listed folder without a
# CMakeLists.txt is a mistake in the list, not a module still to come: it stops the configure.
function(velquor_add_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${dir} has no CMakeLists.txt")
        endif()
        add_subdirectory(${dir})
    endforeach()
endfunction()

# velquor_add_gtest(NAME name LABEL label SOURCES ... LIBS ...)
# One GoogleTest executable per module, registered with CTest under its label.
function(velquor_add_gtest)
    cmake_parse_arguments(ARG "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    target_compile_definitions(${ARG_NAME} PRIVATE
        VELQUOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        VELQUOR_BINARY_DIR="${PROJECT_BINARY_DIR}")
    velquor_precompile_test_headers(${ARG_NAME} GTEST)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    gtest_discover_tests(${ARG_NAME}
        PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()

# velquor_verify_headers(target...): the headers in each library's folder (and its
# sub-folders) become its public header set, checked by VERIFY_INTERFACE_HEADER_SETS.
function(velquor_verify_headers)
    foreach(target IN LISTS ARGN)
        get_target_property(folder ${target} SOURCE_DIR)
        file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${folder}/*.h)
        target_sources(${target} PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}/src
            FILES ${headers})
        set_target_properties(${target} PROPERTIES VERIFY_INTERFACE_HEADER_SETS ON)
    endforeach()
endfunction()

# Precompiled headers for the test programs: each kind's headers (GTEST: GoogleTest and the
# standard headers most tests use; QT: the same with the Qt widgets and Qt Test) are compiled
# once, by a small program of their own, and every test program of that kind reuses them. The
# owner is a program, as the tests are, so that it is compiled with the same -fPIE; it is made
# by the first test program that asks, in tests/, under the same flags as every test.
# -DVELQUOR_PRECOMPILED_HEADERS=OFF builds without them.
set(VELQUOR_GTEST_PCH_HEADERS <gtest/gtest.h> <algorithm> <chrono> <cstdint> <filesystem>
    <functional> <memory> <string> <thread> <vector>)
set(VELQUOR_QT_PCH_HEADERS <QApplication> <QCheckBox> <QComboBox> <QLineEdit> <QPushButton>
    <QTableView> <QTest> <QTimer> <filesystem> <functional> <string> <vector>)

function(velquor_precompile_test_headers target kind)
    if(NOT VELQUOR_PRECOMPILED_HEADERS)
        return()
    endif()
    string(TOLOWER ${kind} name)
    set(owner velquor_${name}_pch)
    if(NOT TARGET ${owner})
        set(source ${PROJECT_BINARY_DIR}/pch/${owner}.cpp)
        file(CONFIGURE OUTPUT ${source} CONTENT "int main() { return 0; }\n")
        add_executable(${owner} EXCLUDE_FROM_ALL ${source})
        if(kind STREQUAL "QT")
            # The window's library brings the Qt modules and their definitions the rooms have.
            target_link_libraries(${owner} PRIVATE velquor_app Qt6::Test)
        else()
            target_link_libraries(${owner} PRIVATE GTest::gtest Threads::Threads)
        endif()
        target_precompile_headers(${owner} PRIVATE ${VELQUOR_${kind}_PCH_HEADERS})
    endif()
    target_precompile_headers(${target} REUSE_FROM ${owner})
    # GCC 12 forgets that a precompiled header's code is the system's and warns of its own
    # std::string false positives in it; the sanitizer build still catches a real overrun.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -Wno-array-bounds -Wno-stringop-overflow
            -Wno-stringop-overread -Wno-restrict)
    endif()
    # ccache caches a compile that uses a precompiled header only when told that the macros
    # and time stamps it cannot see do not matter (none of ours use __DATE__ or __TIME__).
    get_target_property(launcher ${target} CXX_COMPILER_LAUNCHER)
    if(launcher MATCHES "ccache")
        set_property(TARGET ${owner} ${target} PROPERTY CXX_COMPILER_LAUNCHER ${CMAKE_COMMAND} -E
            env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
            ${launcher})
    endif()
endfunction()
