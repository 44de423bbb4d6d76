# Writes the program version and the source revision into a header at every build. The file
# is only touched when its text changes, so an unchanged revision rebuilds nothing.
#   cmake -DSOURCE_DIR=... -DVERSION=... -DOUTPUT=... -P buildinfo.cmake
cmake_minimum_required(VERSION 3.25)
set(revision "unknown")
find_program(GIT git)
if(GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=10 HEAD
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND NOT found STREQUAL "")
        set(revision "${found}")
    endif()
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT
"#pragma once
#define VARNEL_VERSION \"@VERSION@\"
#define VARNEL_REVISION \"@revision@\"
" @ONLY)
