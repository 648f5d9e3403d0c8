# `cmake --install build --prefix DIR`: the shipped library, the libraries it
# loads, the public headers (in include/mirndll), mirn with its man page and
# bash completion, a pkg-config file and a CMake package. Each file belongs
# to a component, one per Debian package (cmake/Packaging.cmake): Runtime
# (the shared libraries), Development (what a host builds with), mirn and
# python (bindings/python/). The tree is
# relocatable: binaries find their libraries through $ORIGIN, and the
# pkg-config file and the CMake package find their prefix from where they lie.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installed binaries carry no debug information unless asked to
# (MIRN_INSTALL_STRIP=OFF); `cmake --install --strip` is then the same.
option(MIRN_INSTALL_STRIP "Strip debug information from installed binaries" ON)
if(MIRN_INSTALL_STRIP)
  install(CODE "set(CMAKE_INSTALL_DO_STRIP 1)" ALL_COMPONENTS)
endif()

# What a host builds against: the header folder, and the allocator its
# paths come from.
target_include_directories(MirnDLL INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/mirndll>)
target_include_directories(MirnAutomation INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/mirndll>)
target_link_libraries(MirnDLL PUBLIC MirnAutomation)

install(TARGETS MirnDLL MirnAutomation MirnWave EXPORT MirnDLLTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS mirn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mirn)
install(FILES ${PROJECT_SOURCE_DIR}/include/MirnDLL.h
              ${PROJECT_SOURCE_DIR}/include/automation_strings.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirndll COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/host/mirn/mirn.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT mirn)
install(FILES ${PROJECT_SOURCE_DIR}/host/mirn/mirn.bash-completion
        DESTINATION ${MIRN_COMPLETIONS_DIR} RENAME mirn
        COMPONENT mirn)

# mirn reaches libMirnAutomation.so (linked) and libMirnDLL.so (loaded by the
# binding, which also looks in ../lib) from the bin folder.
file(RELATIVE_PATH _bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(mirn PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")

file(RELATIVE_PATH MIRN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mirndll.pc.in ${PROJECT_BINARY_DIR}/mirndll.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mirndll.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# find_package(MirnDLL CONFIG): imported targets MirnDLL::MirnDLL (the header
# and the allocator come with it), MirnDLL::MirnAutomation and
# MirnDLL::MirnWave, with paths relative to the package's own folder.
set(_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/MirnDLL)
install(EXPORT MirnDLLTargets NAMESPACE MirnDLL:: DESTINATION ${_package_dir}
        COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/MirnDLLConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MirnDLLConfig.cmake INSTALL_DESTINATION ${_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MirnDLLConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MirnDLLConfig.cmake
              ${PROJECT_BINARY_DIR}/MirnDLLConfigVersion.cmake
        DESTINATION ${_package_dir} COMPONENT Development)
