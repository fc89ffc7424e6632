# Helpers that give every target of the project the same warnings, output folders and
# sanitizer options, so a new module is one call in its folder's CMakeLists.txt.

set(KOR_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wno-missing-field-initializers)

# kor_library(NAME [SHARED|STATIC] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(kor_library name)
    cmake_parse_arguments(K "SHARED;STATIC" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
    if(K_STATIC)
        add_library(${name} STATIC ${K_SOURCES})
        set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    else()
        add_library(${name} SHARED ${K_SOURCES})
    endif()
    add_library(kor::${name} ALIAS ${name})
    target_include_directories(${name} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
        $<INSTALL_INTERFACE:include>)
    target_compile_options(${name} PRIVATE ${KOR_WARNINGS})
    target_link_libraries(${name} PUBLIC ${K_PUBLIC_LIBS} PRIVATE ${K_PRIVATE_LIBS} Threads::Threads)
    # Keep the "lib" prefix out of our names: the target zeb_common becomes libzeb_common.so.
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name})
endfunction()

# kor_program(NAME SOURCES ... [LIBS ...])
function(kor_program name)
    cmake_parse_arguments(K "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${K_SOURCES})
    target_compile_options(${name} PRIVATE ${KOR_WARNINGS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(${name} PRIVATE ${K_LIBS} Threads::Threads)
endfunction()

# kor_test(NAME LABEL unit|integration|e2e SOURCES ... [LIBS ...] [TIMEOUT s])
# One GoogleTest binary; every TEST becomes its own CTest case carrying the label.
function(kor_test name)
    cmake_parse_arguments(K "" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT K_LABEL)
        set(K_LABEL unit)
    endif()
    if(NOT K_TIMEOUT)
        set(K_TIMEOUT 60)
    endif()
    add_executable(${name} ${K_SOURCES})
    target_compile_options(${name} PRIVATE ${KOR_WARNINGS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                               ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(${name} PRIVATE ${K_LIBS} kor_test_support GTest::gmock GTest::gtest_main
                                          Threads::Threads)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 30
        PROPERTIES LABELS ${K_LABEL} TIMEOUT ${K_TIMEOUT})
endfunction()

# Sanitizer builds for the whole tree: -DKOR_SANITIZE=address (AddressSanitizer with
# LeakSanitizer and UndefinedBehaviorSanitizer; undefined behaviour stops the program so the test
# fails) or -DKOR_SANITIZE=thread (ThreadSanitizer). Set here, before any subdirectory, so every
# library, program, plug-in, test and benchmark is compiled and linked the same way: a sanitized
# program loading an unsanitized plug-in misses what happens inside it.
set(KOR_SANITIZE "" CACHE STRING "Sanitizer build: address (with undefined), thread, or empty")
set_property(CACHE KOR_SANITIZE PROPERTY STRINGS "" address thread)
if(KOR_SANITIZE STREQUAL "address")
    # The address checks make g++ 12 see uninitialised members inside std::regex and
    # std::function (false -Wmaybe-uninitialized warnings, which GCC documents for sanitizer
    # builds); the normal build keeps the warning.
    set(KOR_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
                            -fno-omit-frame-pointer)
    set(KOR_SANITIZER_COMPILE_FLAGS -Wno-maybe-uninitialized)
elseif(KOR_SANITIZE STREQUAL "thread")
    set(KOR_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(KOR_SANITIZE)
    message(FATAL_ERROR "KOR_SANITIZE must be address, thread or empty, not '${KOR_SANITIZE}'")
endif()
if(KOR_SANITIZER_FLAGS)
    add_compile_options(${KOR_SANITIZER_FLAGS} ${KOR_SANITIZER_COMPILE_FLAGS})
    add_link_options(${KOR_SANITIZER_FLAGS})
endif()

# kor_check_layer(DIR): the folder DIR is a bottom layer. Every target defined in it (or below)
# may link only targets of that folder and outside libraries (imported targets, plain library
# names), and may add include folders only from that folder, include/ and the build tree. Called
# from the top-level CMakeLists.txt once every target exists, so a link that reaches up into a
# layer defined later is seen too; a breach stops the configuration.
function(kor_check_layer dir)
    get_filename_component(dir ${dir} ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
    set(pending ${dir})
    set(owned "")
    while(pending)
        list(POP_FRONT pending d)
        get_property(targets DIRECTORY ${d} PROPERTY BUILDSYSTEM_TARGETS)
        list(APPEND owned ${targets})
        get_property(subdirs DIRECTORY ${d} PROPERTY SUBDIRECTORIES)
        list(APPEND pending ${subdirs})
    endwhile()
    set(breaches "")
    foreach(target IN LISTS owned)
        set(links "")
        foreach(property LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
            get_target_property(value ${target} ${property})
            if(value)
                list(APPEND links ${value})
            endif()
        endforeach()
        foreach(item IN LISTS links)
            # $<LINK_ONLY:x> is how a static library records its private links.
            string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
            if(NOT TARGET ${item})
                continue()
            endif()
            get_target_property(aliased ${item} ALIASED_TARGET)
            if(aliased)
                set(item ${aliased})
            endif()
            get_target_property(imported ${item} IMPORTED)
            if(NOT imported AND NOT item IN_LIST owned)
                get_target_property(where ${item} SOURCE_DIR)
                file(RELATIVE_PATH where ${PROJECT_SOURCE_DIR} ${where})
                list(APPEND breaches "${target} links ${item} (${where}/)")
            endif()
        endforeach()
        foreach(property INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES)
            get_target_property(value ${target} ${property})
            if(NOT value)
                continue()
            endif()
            foreach(folder IN LISTS value)
                string(REGEX REPLACE "^\\$<BUILD_INTERFACE:(.*)>$" "\\1" folder "${folder}")
                if(folder MATCHES "^\\$<" OR NOT IS_ABSOLUTE "${folder}")
                    continue()
                endif()
                cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${folder}" NORMALIZE in_project)
                cmake_path(IS_PREFIX dir "${folder}" NORMALIZE in_layer)
                cmake_path(IS_PREFIX PROJECT_BINARY_DIR "${folder}" NORMALIZE in_build)
                if(in_project AND NOT in_layer AND NOT in_build
                   AND NOT folder STREQUAL "${PROJECT_SOURCE_DIR}/include")
                    list(APPEND breaches "${target} includes ${folder}")
                endif()
            endforeach()
        endforeach()
    endforeach()
    if(breaches)
        list(JOIN breaches "\n  " text)
        file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${dir})
        message(FATAL_ERROR "${name}/ is the bottom layer but reaches outside itself:\n  ${text}")
    endif()
endfunction()
