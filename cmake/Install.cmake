# `cmake --install build --prefix DIR`: the shipped library, the libraries it
# loads, the public headers (in include/mirndll), mirn and a pkg-config file. The tree is
# relocatable: binaries find their libraries through $ORIGIN and the
# pkg-config file finds its prefix from where it lies.
include(GNUInstallDirs)

install(TARGETS MirnDLL MirnAutomation MirnWave
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS mirn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/MirnDLL.h
              ${PROJECT_SOURCE_DIR}/include/automation_strings.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mirndll)

# mirn reaches libMirnAutomation.so (linked) and libMirnDLL.so (loaded by the
# binding, which also looks in ../lib) from the bin folder.
file(RELATIVE_PATH _bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(mirn PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")

file(RELATIVE_PATH MIRN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/mirndll.pc.in ${PROJECT_BINARY_DIR}/mirndll.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mirndll.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
