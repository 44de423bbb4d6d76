# Installs the build into a fresh prefix and checks what a desktop finds there: the program,
# the icon at each hicolor size (as big as its folder says), and an entry and metainfo that
# the desktop's own validators accept.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P installcheck.cmake
cmake_minimum_required(VERSION 3.25)
find_program(DESKTOP_VALIDATE desktop-file-validate)
find_program(APPSTREAMCLI appstreamcli)
if(NOT DESKTOP_VALIDATE OR NOT APPSTREAMCLI)
    message("SKIPPED: desktop-file-validate or appstreamcli is missing (tools/install-deps.sh test)")
    return()
endif()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed: ${out}")
    endif()
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}")
set(id org.varnelhaus.Varnel)
foreach(size 16 24 32 48 64 128 256 512)
    # Width and height from the PNG header, 32-bit big-endian after the signature.
    file(READ "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/${id}.png" header
         OFFSET 16 LIMIT 8 HEX)
    math(EXPR hex "0x100000000 + ${size}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 3 8 hex)
    if(NOT header STREQUAL "${hex}${hex}")
        message(FATAL_ERROR "the ${size}x${size} icon is missing or has another size (${header})")
    endif()
endforeach()
if(NOT EXISTS "${PREFIX}/bin/varnel")
    message(FATAL_ERROR "bin/varnel was not installed")
endif()
run(${DESKTOP_VALIDATE} "${PREFIX}/share/applications/${id}.desktop")
run(${APPSTREAMCLI} validate --no-net --no-color "${PREFIX}/share/metainfo/${id}.metainfo.xml")
message("installed and validated under ${PREFIX}")
