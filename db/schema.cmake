# The inventory schema: the definition, its DDL per dialect, the database
# creator and the generated docs/schema.md.
add_library(corvane_schema STATIC schema.cpp schema_data.cpp)
target_link_libraries(corvane_schema PUBLIC corvane_db_core)

# --- The DDL per dialect (pure) and the database creator (over a Connection).
target_sources(corvane_schema PRIVATE schema_ddl.cpp schema_create.cpp schema_upgrade.cpp)
target_link_libraries(corvane_schema PUBLIC corvane_odbc)

corvane_test(schema_ddl_test SOURCES schema_ddl_test.cpp LIBS corvane_schema)
corvane_test(schema_create_test SOURCES schema_create_test.cpp LIBS corvane_schema)
corvane_test(schema_upgrade_test SOURCES schema_upgrade_test.cpp LIBS corvane_schema)

# --- docs/schema.md from the definition, and the definition's consistency test.
target_sources(corvane_schema PRIVATE schema_doc.cpp)
add_executable(corvane_schemadoc schema_doc_main.cpp)
target_link_libraries(corvane_schemadoc PRIVATE corvane_schema)
# Regenerates the document kept in the source tree (schema_test fails while
# it differs from the definition).
add_custom_target(schema-doc
  COMMAND corvane_schemadoc ${CMAKE_SOURCE_DIR}/docs/schema.md
  COMMENT "Writing docs/schema.md"
  VERBATIM)
corvane_test(schema_test SOURCES schema_test.cpp LIBS corvane_schema corvane_scan)
if(CORVANE_TESTS)
  target_compile_definitions(schema_test PRIVATE
    CORVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    CORVANE_SAMPLE_SCANS_DIR="${CORVANE_SAMPLE_SCANS_DIR}")
endif()
