# `cmake --install`: headers, the module libraries, the quorin tool, a CMake
# package (find_package(quorin_data) gives one target per module,
# quorin_data::core ... quorin_data::volume), a pkg-config file, the sample
# folders and, when built, the Python package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORIN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/quorin_data)
set(QUORIN_PYTHON_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages CACHE STRING
    "Where the Python package is installed, relative to the prefix")

set(quorin_installed)
foreach(lib ${QUORIN_ALL_LIBS})
  get_target_property(type ${lib} TYPE)
  string(REGEX REPLACE "^quorin_" "" module ${lib})
  set_target_properties(${lib} PROPERTIES EXPORT_NAME ${module})
  # The source tree's include folder while building, the prefix's once installed.
  set_property(TARGET ${lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
               "$<BUILD_INTERFACE:${QUORIN_INCLUDE}>" "$<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>"
               "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set_target_properties(${lib} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  list(APPEND quorin_installed ${lib})
endforeach()

install(TARGETS ${quorin_installed} EXPORT quorin_dataTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${QUORIN_INCLUDE}/quorin_data DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp")
install(FILES ${CMAKE_BINARY_DIR}/generated/quorin_data/config.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorin_data)
# The sample reference folders of the local stand-ins, found by
# bql::sample_folder() and bqia::sample_folder() beside the installed libraries.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/bql_sample ${PROJECT_SOURCE_DIR}/data/bqia_sample
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quorin_data)
install(EXPORT quorin_dataTargets NAMESPACE quorin_data:: DESTINATION ${QUORIN_INSTALL_CMAKEDIR})

file(WRITE ${CMAKE_BINARY_DIR}/quorin_dataConfig.cmake
"include(CMakeFindDependencyMacro)
find_dependency(Threads)
include(\"\${CMAKE_CURRENT_LIST_DIR}/quorin_dataTargets.cmake\")
")
write_basic_package_version_file(${CMAKE_BINARY_DIR}/quorin_dataConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/quorin_dataConfig.cmake ${CMAKE_BINARY_DIR}/quorin_dataConfigVersion.cmake
        DESTINATION ${QUORIN_INSTALL_CMAKEDIR})

# pkg-config: every module library, users first (the linker resolves left to right).
set(QUORIN_PC_LIBS "")
foreach(lib quorin_ta quorin_volume quorin_overlap quorin_barwork quorin_querywork quorin_bqia quorin_snapshelf quorin_bql
            quorin_bucketry quorin_store
            quorin_formats quorin_core)
  if(TARGET ${lib})
    get_target_property(type ${lib} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      string(APPEND QUORIN_PC_LIBS " -l${lib}")
    endif()
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/quorin_data.pc
"prefix=\${pcfiledir}/../..
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: quorin_data
Description: Quantitative research on financial market data (object store I/O, snapshot datasets, indicators)
Version: ${PROJECT_VERSION}
Cflags: -I\${includedir} -std=c++20
Libs: -L\${libdir} -Wl,-rpath,\${libdir}${QUORIN_PC_LIBS}
Libs.private: -pthread
")
install(FILES ${CMAKE_BINARY_DIR}/quorin_data.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET quorin)
  set_target_properties(quorin PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS quorin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET _quorin)
  file(RELATIVE_PATH py_to_lib /p/${QUORIN_PYTHON_INSTALL_DIR}/quorin_data /p/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(_quorin PROPERTIES INSTALL_RPATH "$ORIGIN/${py_to_lib}")
  install(TARGETS _quorin LIBRARY DESTINATION ${QUORIN_PYTHON_INSTALL_DIR}/quorin_data)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quorin_data DESTINATION ${QUORIN_PYTHON_INSTALL_DIR}
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
endif()
