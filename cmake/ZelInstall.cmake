# Install rules for the libraries other programs link and the tools lab hosts run. Libraries go
# to the `development` component (static archives, public headers, the exported zel:: targets
# and pkg-config files), tools to the `tools` component (executables and man pages); the Debian
# packages are cut along these two components.
include(GNUInstallDirs)

# pkg-config module of each third-party target a library may link.
set(ZEL_PKG_CONFIG_MODULES
    fmt::fmt fmt
    CapnProto::capnp capnp
    PkgConfig::libelf libelf)

# zel_install_library(TARGET): installs the library zel_NAME with the headers of its include/
# folder, exports it as zel::NAME (also its name inside this build, for projects that add
# this one as a subdirectory) and writes zel_NAME.pc. Call it after its target_link_libraries.
function(zel_install_library target)
  string(REGEX REPLACE "^zel_" "" name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  add_library(zel::${name} ALIAS ${target})
  # Public headers use std::expected: a consumer gets C++23 with the target.
  target_compile_features(${target} PUBLIC cxx_std_23)
  install(TARGETS ${target} EXPORT zel-targets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

  # The archives are static, so a consumer links every dependency, private ones included.
  get_target_property(dependencies ${target} LINK_LIBRARIES)
  if(NOT dependencies)
    set(dependencies "")
  endif()
  set(requires "")
  foreach(dependency IN LISTS dependencies)
    # Used only while building the library (a header-only helper): nothing a consumer links.
    if(dependency MATCHES "^\\$<BUILD_INTERFACE:")
      continue()
    endif()
    if(dependency MATCHES "^zel_")
      list(APPEND requires ${dependency})
      continue()
    endif()
    list(FIND ZEL_PKG_CONFIG_MODULES ${dependency} index)
    if(index EQUAL -1)
      message(FATAL_ERROR "${target} links ${dependency}: add its pkg-config module to "
                          "ZEL_PKG_CONFIG_MODULES in ${CMAKE_CURRENT_FUNCTION_LIST_FILE}")
    endif()
    math(EXPR index "${index} + 1")
    list(GET ZEL_PKG_CONFIG_MODULES ${index} module)
    list(APPEND requires ${module})
  endforeach()
  list(REMOVE_DUPLICATES requires)
  list(JOIN requires " " ZEL_PC_REQUIRES)
  set(ZEL_PC_NAME ${target})
  # Relative to the .pc file, so the install can be moved or given another --prefix.
  file(RELATIVE_PATH ZEL_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" ZEL_PC_PREFIX ${ZEL_PC_PREFIX})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/zel.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc
                 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endfunction()

# zel_install_tool(TARGET): installs the executable and its man page doc/man/TARGET.1,
# compressed as Debian installs man pages.
function(zel_install_tool target)
  set(man_page ${PROJECT_SOURCE_DIR}/doc/man/${target}.1)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

  get_filename_component(page ${man_page} NAME)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${man_page} > ${compressed}
    DEPENDS ${man_page})
  add_custom_target(${target}_man_page ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endfunction()
