# Installation and packaging of the whole project: the programs, the shared libraries with their
# public headers, one pkg-config file per oven library, the exported CMake package KorOven and the
# Debian package (cpack -G DEB). Included at the end of the top-level CMakeLists.txt, once every
# target exists, so the folders' own CMakeLists.txt stay free of install rules.
#
# Library versions: VERSION is the project version, SOVERSION its major number (0 while the
# project is 0.x). libkor_iocomms.so.0 therefore stays the name a program records for every 0.x
# release; a release that breaks the C interface raises the major version, and with it the name.
#
# Not installed: test programs, benchmarks and the static helper libraries (kor_oven_service,
# zeb_store_file, pmx_bridge_core, ...), which are linked into the programs above.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KOR_INSTALL_PROGRAMS
    kor_oven_mgr kor_ioboard_sim kor_config_check modbus_console ioboard_console zebctl
    calder_backend pmx_backend2 pmx_backend_slave kor_fleet_agent kor_webui)
# The four deliverables, then the platform libraries they link; all are exported.
set(KOR_INSTALL_OVEN_LIBRARIES kor_iocomms kor_oven_config kor_oven_stats kor_oven_telvo)
set(KOR_INSTALL_PLATFORM_LIBRARIES zeb_common zeb_logger zeb_config zeb_stat zeb_faultman vix_io)
set(KOR_INSTALL_LIBRARIES ${KOR_INSTALL_OVEN_LIBRARIES} ${KOR_INSTALL_PLATFORM_LIBRARIES})

# Installed programs find the installed libraries beside them, wherever the prefix is moved to:
# bin/../lib. Libraries look in their own folder, for the libraries they link (RUNPATH is not
# inherited from the program) and for the plug-in libvixio-tcp.so that libvix_io loads.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    set(kor_program_rpath "${CMAKE_INSTALL_FULL_LIBDIR}")
    set(kor_library_rpath "${CMAKE_INSTALL_FULL_LIBDIR}")
else()
    file(RELATIVE_PATH kor_bin_to_lib "/kor/${CMAKE_INSTALL_BINDIR}" "/kor/${CMAKE_INSTALL_LIBDIR}")
    set(kor_program_rpath "$ORIGIN/${kor_bin_to_lib}")
    set(kor_library_rpath "$ORIGIN")
endif()

set_target_properties(${KOR_INSTALL_LIBRARIES} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "${kor_library_rpath}")
# The plug-in keeps its unversioned name: the channel library asks for libvixio-tcp.so.
set_target_properties(vixio_tcp PROPERTIES INSTALL_RPATH "${kor_library_rpath}")
set_target_properties(${KOR_INSTALL_PROGRAMS} PROPERTIES INSTALL_RPATH "${kor_program_rpath}")

install(TARGETS ${KOR_INSTALL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${KOR_INSTALL_LIBRARIES}
    EXPORT KorOvenTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vixio_tcp LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")

# ---- CMake package: find_package(KorOven) gives KorOven::kor_iocomms and the others ----------
set(KOR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KorOven)
install(EXPORT KorOvenTargets NAMESPACE KorOven:: DESTINATION ${KOR_CMAKE_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/KorOvenConfig.cmake.in [=[
# KorOven: the conveyor oven's libraries. Targets: KorOven::kor_iocomms, KorOven::kor_oven_config,
# KorOven::kor_oven_stats, KorOven::kor_oven_telvo and the platform libraries KorOven::zeb_common,
# zeb_logger, zeb_config, zeb_stat, zeb_faultman, vix_io.
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/KorOvenTargets.cmake")
check_required_components(KorOven)
]=])
configure_package_config_file(${PROJECT_BINARY_DIR}/KorOvenConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KorOvenConfig.cmake
    INSTALL_DESTINATION ${KOR_CMAKE_DIR})
# 0.x releases promise nothing to each other; from 1.0 on, the same major version is compatible.
if(PROJECT_VERSION_MAJOR EQUAL 0)
    set(kor_compatibility SameMinorVersion)
else()
    set(kor_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KorOvenConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY ${kor_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/KorOvenConfig.cmake
              ${PROJECT_BINARY_DIR}/KorOvenConfigVersion.cmake
        DESTINATION ${KOR_CMAKE_DIR})

# ---- pkg-config: one file per oven library -------------------------------------------------
# The prefix is found from the file's own place, so an installed tree can be moved or unpacked
# under another root (DESTDIR, dpkg -x) and still be used.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(kor_pc_prefix "${CMAKE_INSTALL_PREFIX}")
    set(kor_pc_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
    file(RELATIVE_PATH kor_pc_up "/kor/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/kor")
    string(REGEX REPLACE "/$" "" kor_pc_up "${kor_pc_up}")
    set(kor_pc_prefix "\${pcfiledir}/${kor_pc_up}")
    set(kor_pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(kor_pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(kor_pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()

# kor_pkg_config(NAME DESCRIPTION text [LIBS ...] [LIBS_PRIVATE ...] [REQUIRES_PRIVATE ...])
# LIBS: libraries whose types the public header hands to the caller (the caller opens them);
# LIBS_PRIVATE: the platform libraries linked underneath.
function(kor_pkg_config name)
    cmake_parse_arguments(P "" "DESCRIPTION" "LIBS;LIBS_PRIVATE;REQUIRES_PRIVATE" ${ARGN})
    set(libs "-L\${libdir} -l${name}")
    foreach(l ${P_LIBS})
        string(APPEND libs " -l${l}")
    endforeach()
    set(libs_private "")
    foreach(l ${P_LIBS_PRIVATE})
        string(APPEND libs_private " -l${l}")
    endforeach()
    string(STRIP "${libs_private} -pthread" libs_private)
    list(JOIN P_REQUIRES_PRIVATE ", " requires_private)
    set(content "prefix=${kor_pc_prefix}\nexec_prefix=\${prefix}\nlibdir=${kor_pc_libdir}\n")
    string(APPEND content "includedir=${kor_pc_includedir}\n\n")
    string(APPEND content "Name: ${name}\nDescription: ${P_DESCRIPTION}\n")
    string(APPEND content "Version: ${PROJECT_VERSION}\n")
    if(requires_private)
        string(APPEND content "Requires.private: ${requires_private}\n")
    endif()
    string(APPEND content "Cflags: -I\${includedir}\nLibs: ${libs}\n")
    string(APPEND content "Libs.private: ${libs_private}\n")
    file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc CONTENT "${content}" @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

kor_pkg_config(kor_iocomms
    DESCRIPTION "IO board link of the conveyor oven: Modbus RTU transport, register map, firmware update"
    LIBS_PRIVATE zeb_common zeb_logger vix_io
    REQUIRES_PRIVATE libmodbus)
kor_pkg_config(kor_oven_config
    DESCRIPTION "Conveyor oven configuration record, loaded from the settings store"
    LIBS zeb_logger
    LIBS_PRIVATE zeb_config)
kor_pkg_config(kor_oven_stats
    DESCRIPTION "Conveyor oven usage statistics in the statistics store"
    LIBS_PRIVATE zeb_stat zeb_logger)
kor_pkg_config(kor_oven_telvo
    DESCRIPTION "Conveyor oven cloud reports over the service bus"
    LIBS_PRIVATE zeb_common zeb_logger vix_io)

# ---- Debian package: cpack -G DEB in the build folder -------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kor-oven)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Conveyor oven controller project")
set(CPACK_PACKAGE_CONTACT "Oven controller maintainers <oven-controller@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Conveyor oven controller: oven manager, IO board libraries, bridges and service tools")
set(CPACK_PACKAGE_DESCRIPTION
    "The oven manager kor_oven_mgr, the IO board link, configuration, statistics and cloud \
reporting libraries with their headers, pkg-config files and CMake package, the Modbus bridges, \
the serial consoles, the bus client zebctl, the configuration check kor_config_check, the \
fleet agent kor_fleet_agent (reports and signed firmware over MQTT) and the virtual IO board \
kor_ioboard_sim.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Depends is computed by dpkg-shlibdeps from what the programs and libraries link (libmodbus5,
# libc6, libstdc++6, libgcc-s1); the project's own libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The shared libraries are announced to ldconfig by a trigger, as Debian wants, not by
# maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POSTINST OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
