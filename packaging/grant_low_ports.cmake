# Run by `cmake --install`: grants the installed server the right to listen
# on ports below 1024, as the Debian package does. Only for a real install as
# root; a staged install (DESTDIR, or CPack building the package) is left
# alone, since the package grants it when it is installed.
set(binary "${CMAKE_INSTALL_PREFIX}/bin/quenvar-chat-server")
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(SETCAP setcap PATHS /usr/sbin /sbin)
if(NOT "$ENV{DESTDIR}" STREQUAL "" OR CMAKE_INSTALL_PREFIX MATCHES "/_CPack_Packages/")
    return()
elseif(NOT uid STREQUAL "0")
    message(STATUS "Not root: ${binary} cannot serve ports below 1024 (install as root, or use the package)")
elseif(NOT SETCAP)
    message(STATUS "setcap not found (package libcap2-bin): ${binary} cannot serve ports below 1024")
else()
    execute_process(COMMAND ${SETCAP} cap_net_bind_service=+ep ${binary} RESULT_VARIABLE failed)
    if(failed)
        message(STATUS "setcap failed: ${binary} cannot serve ports below 1024")
    else()
        message(STATUS "Granted ${binary} the right to serve ports below 1024 (cap_net_bind_service)")
    endif()
endif()
