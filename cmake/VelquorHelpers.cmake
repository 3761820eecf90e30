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
