# What `cmake --install` puts in place: the shared library, the public header
# and its version companion, the tovupdtr program with its manual page, the
# documentation, a CMake package (find_package(tovUpdtr) gives the imported
# target tovUpdtr::tovUpdtr) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(TOVUPDTR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tovUpdtr)

install(TARGETS tovUpdtr EXPORT tovUpdtrTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/tovUpdtr.h
              ${PROJECT_BINARY_DIR}/include/tovUpdtr_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET tovupdtr)
  # The installed program finds the library beside it, wherever the tree is
  # moved: the run path is relative to the program's own directory.
  if(NOT WIN32 AND NOT APPLE)
    file(RELATIVE_PATH bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR}
         ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(tovupdtr PROPERTIES
      INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  endif()
  install(TARGETS tovupdtr EXPORT tovUpdtrTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/tovupdtr.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

file(GLOB TOVUPDTR_DOC_PAGES ${PROJECT_SOURCE_DIR}/docs/*.md
     ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${TOVUPDTR_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The CMake package.  Before 1.0 only the same minor version is taken as
# compatible, as the soname says.
install(EXPORT tovUpdtrTargets NAMESPACE tovUpdtr::
        DESTINATION ${TOVUPDTR_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tovUpdtrConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tovUpdtrConfig.cmake
  INSTALL_DESTINATION ${TOVUPDTR_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(compatibility SameMinorVersion)
else()
  set(compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tovUpdtrConfigVersion.cmake
  COMPATIBILITY ${compatibility})
install(FILES ${PROJECT_BINARY_DIR}/tovUpdtrConfig.cmake
              ${PROJECT_BINARY_DIR}/tovUpdtrConfigVersion.cmake
        DESTINATION ${TOVUPDTR_CMAKE_DIR})

# The pkg-config file names the prefix the tree is installed into, which
# `cmake --install --prefix` may choose only at install time: it is written
# then.  The directories below the prefix stay relative to it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(pc_libdir "${CMAKE_INSTALL_LIBDIR}")
  set(pc_destination "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(pc_libdir "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(pc_destination "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(pc_includedir "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(TOVUPDTR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(TOVUPDTR_PC_LIBDIR [[${pc_libdir}]])
  set(TOVUPDTR_PC_INCLUDEDIR [[${pc_includedir}]])
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/tovUpdtr.pc.in\"
                 \"${PROJECT_BINARY_DIR}/tovUpdtr.pc\" @ONLY)
  file(INSTALL DESTINATION \"${pc_destination}\" TYPE FILE
       FILES \"${PROJECT_BINARY_DIR}/tovUpdtr.pc\")
")
