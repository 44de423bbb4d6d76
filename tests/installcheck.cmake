# Installs the build into a fresh prefix and checks what a desktop finds there: the program,
# the icon at each hicolor size (as big as its folder says), and an entry and metainfo that
# the desktop's own validators accept.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P installcheck.cmake
cmake_minimum_required(VERSION 3.25)
find_program(DESKTOP_VALIDATE desktop-file-validate)
find_program(APPSTREAMCLI appstreamcli)
if(NOT DESKTOP_VALIDATE OR NOT APPSTREAMCLI)
    message("SKIPPED: desktop-file-validate (desktop-file-utils) or appstreamcli (appstream) "
            "is not installed")
    return()
endif()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${errors}")
endif()

set(id org.varnelhaus.Varnel)
foreach(file bin/varnel share/applications/${id}.desktop share/metainfo/${id}.metainfo.xml)
    if(NOT EXISTS "${PREFIX}/${file}")
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()
foreach(size 16 24 32 48 64 128 256 512)
    set(icon "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/${id}.png")
    if(NOT EXISTS "${icon}")
        message(FATAL_ERROR "not installed: ${icon}")
    endif()
    # Width and height from the PNG header, big-endian after the signature and chunk head.
    file(READ "${icon}" header OFFSET 16 LIMIT 8 HEX)
    math(EXPR expected "${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(REPLACE "0x" "" expected "${expected}")
    string(LENGTH "${expected}" length)
    math(EXPR padding "8 - ${length}")
    string(REPEAT "0" ${padding} zeros)
    if(NOT header STREQUAL "${zeros}${expected}${zeros}${expected}")
        message(FATAL_ERROR "${icon} is not ${size} x ${size} pixels (header ${header})")
    endif()
endforeach()

execute_process(COMMAND ${DESKTOP_VALIDATE} "${PREFIX}/share/applications/${id}.desktop"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "desktop-file-validate: ${out}")
endif()
execute_process(COMMAND ${APPSTREAMCLI} validate --no-net --no-color
                        "${PREFIX}/share/metainfo/${id}.metainfo.xml"
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate: ${out}")
endif()
message("installed and validated under ${PREFIX}")
