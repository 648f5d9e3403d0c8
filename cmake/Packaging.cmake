# `cmake --build build --target package`: Debian packages of the install's
# components, split as Debian splits a library: libmirndll1 (the shared
# libraries), libmirndll-dev (headers, link names, pkg-config file, CMake
# package), mirn (the command with its man page and completion) and
# python3-mirndll (the binding). They install into /usr; dependencies on
# other packages come from dpkg-shlibdeps, those between these from here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VENDOR MirnDLL)
set(CPACK_PACKAGE_CONTACT "MirnDLL developers <mirndll@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sound recorder library with seven C calls")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development mirn python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libmirndll1 states which of its versions the libraries need (its shlibs
# file), and dpkg-shlibdeps finds them for mirn in the packages being made.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/automation ${PROJECT_BINARY_DIR}/wave_service)

set(_same "libmirndll1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmirndll1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "MirnDLL sound recorder library\n libMirnDLL.so.1 records 8-bit mono sound at 8000 Hz, plays it\n back, and saves and loads it as WAVE files, through ALSA.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libmirndll-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS ${_same})
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "MirnDLL sound recorder library: development files\n The C headers, the link names, a pkg-config file and a CMake package.")
set(CPACK_DEBIAN_MIRN_PACKAGE_NAME mirn)
set(CPACK_DEBIAN_MIRN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_MIRN_PACKAGE_DEPENDS ${_same})
set(CPACK_COMPONENT_MIRN_DESCRIPTION
    "command-line sound recorder on MirnDLL\n mirn records, plays, replays and describes sound files through MirnDLL.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-mirndll)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, ${_same}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/python3-mirndll.prerm.in
               ${PROJECT_BINARY_DIR}/debian/python3-mirndll/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/python3-mirndll/prerm)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "MirnDLL sound recorder library: Python binding\n The mirndll module calls the library through ctypes.")
include(CPack)
