# Small helpers shared by the module CMakeLists files.

# velquor_add_subdirectories(a b c): add each sub-folder that has a CMakeLists.txt,
# so modules can land one at a time without breaking the build.
function(velquor_add_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            add_subdirectory(${dir})
        endif()
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
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    gtest_discover_tests(${ARG_NAME}
        PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()
