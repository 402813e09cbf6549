# The inventory schema: the definition, its DDL per dialect, the database
# creator and the generated docs/schema.md.
add_library(corvane_schema STATIC schema.cpp schema_data.cpp)
target_link_libraries(corvane_schema PUBLIC corvane_db_core)
