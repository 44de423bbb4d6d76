# Installs the build into a fresh prefix and checks what a desktop finds there: the program,
# the icon at each hicolor size (as big as its folder says), and an entry and metainfo that
# the desktop's own validators accept, and the polkit actions of the elevated helper. Then the
# Debian package: it holds the same files, both programs start from where it unpacks, its
# library dependencies were found, and lintian reports no errors. The history's systemd user
# service and autostart entry pass systemd-analyze verify and desktop-file-validate with nothing
# to say.
#   cmake -DBUILD_DIR=... -DPREFIX=... -DVERSION=... -P installcheck.cmake
cmake_minimum_required(VERSION 3.25)
find_program(DESKTOP_VALIDATE desktop-file-validate)
find_program(APPSTREAMCLI appstreamcli)
find_program(LINTIAN lintian)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(XMLLINT xmllint)
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(NOT DESKTOP_VALIDATE OR NOT APPSTREAMCLI OR NOT LINTIAN OR NOT DPKG_SHLIBDEPS OR NOT XMLLINT OR
   NOT SYSTEMD_ANALYZE)
    message("SKIPPED: desktop-file-validate, appstreamcli, lintian, dpkg-shlibdeps, xmllint or "
            "systemd-analyze is missing (tools/install-deps.sh test)")
    return()
endif()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed: ${out}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

# The password dialog's words for the elevated helper, as installed under `root`: well formed,
# an administrator's password asked every time, and each action found by pkexec for exactly the
# installed program and a switch that program answers as a helper (with nothing named, a helper
# changes nothing and exits 6).
function(check_policy root prefix)
    set(policy "${root}${prefix}/share/polkit-1/actions/${id}.policy")
    run(${XMLLINT} --noout "${policy}")
    file(READ "${policy}" text)
    string(REGEX MATCHALL "<allow_[a-z]+>[^<]*<" defaults "${text}")
    string(REGEX MATCHALL "exec\\.path\">[^<]*<" paths "${text}")
    string(REGEX MATCHALL "exec\\.argv1\">[^<]*<" switches "${text}")
    list(LENGTH defaults count)
    list(LENGTH switches actions)
    list(LENGTH paths programs)
    if(NOT count EQUAL 6 OR NOT actions EQUAL 2 OR NOT programs EQUAL 2 OR NOT text MATCHES "<message>Varnel needs")
        message(FATAL_ERROR "${policy} does not hold two actions with their words:\n${text}")
    endif()
    foreach(default IN LISTS defaults)
        if(NOT default MATCHES ">auth_admin<$")
            message(FATAL_ERROR "${policy}: ${default} instead of auth_admin")
        endif()
    endforeach()
    foreach(path IN LISTS paths)
        if(NOT path STREQUAL "exec.path\">${prefix}/bin/varnel<")
            message(FATAL_ERROR "${policy} names ${path}, not ${prefix}/bin/varnel")
        endif()
    endforeach()
    foreach(switch IN LISTS switches)
        string(REGEX REPLACE "^exec\\.argv1\">(.*)<$" "\\1" switch "${switch}")
        execute_process(COMMAND "${root}${prefix}/bin/varnel" "${switch}" RESULT_VARIABLE status
                        TIMEOUT 30
                        OUTPUT_QUIET ERROR_QUIET)
        if(NOT status EQUAL 6)
            message(FATAL_ERROR "${root}${prefix}/bin/varnel ${switch} exited with ${status}")
        endif()
    endforeach()
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
check_policy("" "${PREFIX}")
run(${DESKTOP_VALIDATE} "${PREFIX}/share/varnel/varnel-history.desktop")
# A user manager's check needs a runtime folder of its own; it also finds the program missing.
set(runtime "${PREFIX}-runtime")
file(REMOVE_RECURSE "${runtime}")
file(MAKE_DIRECTORY "${runtime}")
file(CHMOD "${runtime}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
run(${CMAKE_COMMAND} -E env "XDG_RUNTIME_DIR=${runtime}" ${SYSTEMD_ANALYZE} --user verify
    "${PREFIX}/lib/systemd/user/varnel-history.service")
if(NOT out STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify found fault with varnel-history.service: ${out}")
endif()

file(REMOVE_RECURSE "${PREFIX}-deb")
run(cpack --config "${BUILD_DIR}/CPackConfig.cmake" -B "${PREFIX}-deb")
run(dpkg --print-architecture)
string(STRIP "${out}" arch)
set(deb "${PREFIX}-deb/varnel_${VERSION}_${arch}.deb")
run(dpkg-deb -x "${deb}" "${PREFIX}-deb/root")
file(GLOB_RECURSE packaged RELATIVE "${PREFIX}-deb/root/usr" "${PREFIX}-deb/root/*")
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
if(NOT packaged STREQUAL installed)
    message(FATAL_ERROR "the package holds\n${packaged}\nbut cmake --install puts\n${installed}")
endif()
check_policy("${PREFIX}-deb/root" /usr)
foreach(program varnel varnelctl)
    run("${PREFIX}-deb/root/usr/bin/${program}" --version)
    if(NOT out MATCHES "${VERSION}")
        message(FATAL_ERROR "${program} --version from the package printed: ${out}")
    endif()
endforeach()
run(dpkg-deb --field "${deb}" Depends)
if(NOT out MATCHES "libqt6widgets6" OR NOT out MATCHES "libzstd1" OR NOT out MATCHES "libssl3" OR
   NOT out MATCHES "procps")
    message(FATAL_ERROR "the package's dependencies are incomplete: ${out}")
endif()
run(${LINTIAN} --fail-on error "${deb}")
message("installed and validated under ${PREFIX}; ${deb} checked, lintian: ${out}")
