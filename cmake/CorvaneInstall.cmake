# Installs the shared library, its header, a CMake package (Corvane::corvane)
# and a pkg-config file, so that hosts built with other build systems can use
# an installed Corvane. Included by the top-level CMakeLists.txt once the
# `corvane` target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The ABI is the C functions of corvane.h (the nine and the extension): the
# SONAME changes with the major version only.
set_target_properties(corvane PROPERTIES VERSION ${PROJECT_VERSION}
                                         SOVERSION ${PROJECT_VERSION_MAJOR})

target_include_directories(corvane PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# Hosts hand the library cv::Mat objects, so they compile and link against
# OpenCV's core as well; the library's own use of imgproc and imgcodecs stays
# private to the shared object.
target_link_libraries(corvane INTERFACE opencv_core)

install(TARGETS corvane EXPORT CorvaneTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/corvane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(CORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Corvane)
install(EXPORT CorvaneTargets NAMESPACE Corvane:: DESTINATION ${CORVANE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CorvaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/CorvaneConfig.cmake
                              INSTALL_DESTINATION ${CORVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CorvaneConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CorvaneConfig.cmake
              ${PROJECT_BINARY_DIR}/CorvaneConfigVersion.cmake
        DESTINATION ${CORVANE_CMAKE_DIR})

# The .pc file finds its prefix from its own location, so it stays right when
# the prefix is chosen at install time (cmake --install --prefix, DESTDIR).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(CORVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CORVANE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(CORVANE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _corvane_pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _corvane_pc_up "${_corvane_pc_up}")
  set(CORVANE_PC_PREFIX "\${pcfiledir}/${_corvane_pc_up}")
  set(CORVANE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(CORVANE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/corvane.pc.in ${PROJECT_BINARY_DIR}/corvane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(CORVANE_BUILD_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/install ${PROJECT_BINARY_DIR}/tests/install)
endif()
