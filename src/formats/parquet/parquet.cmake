# Parquet metadata classes: generated at build time from our IDL by the
# Thrift compiler into the build folder.
find_program(QUORIN_THRIFT_COMPILER thrift REQUIRED)
set(QUORIN_PQ_GEN_DIR ${CMAKE_CURRENT_BINARY_DIR}/parquet_gen)
set(QUORIN_PQ_IDL ${CMAKE_CURRENT_LIST_DIR}/parquet.thrift)
file(MAKE_DIRECTORY ${QUORIN_PQ_GEN_DIR})
add_custom_command(
  OUTPUT ${QUORIN_PQ_GEN_DIR}/parquet_types.cpp ${QUORIN_PQ_GEN_DIR}/parquet_types.h
  COMMAND ${QUORIN_THRIFT_COMPILER} --gen cpp -out ${QUORIN_PQ_GEN_DIR} ${QUORIN_PQ_IDL}
  DEPENDS ${QUORIN_PQ_IDL}
  COMMENT "Generating Parquet metadata classes from parquet.thrift"
  VERBATIM)
target_sources(quorin_formats PRIVATE ${QUORIN_PQ_GEN_DIR}/parquet_types.cpp)
target_include_directories(quorin_formats PRIVATE ${QUORIN_PQ_GEN_DIR})
# Generated code is not ours to keep warning-free.
set_source_files_properties(${QUORIN_PQ_GEN_DIR}/parquet_types.cpp PROPERTIES
  COMPILE_OPTIONS "-w")
