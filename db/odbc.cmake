# The connection over ODBC (unixODBC driver manager).
find_library(ODBC_LIBRARY odbc REQUIRED)
find_path(ODBC_INCLUDE_DIR sql.h REQUIRED)

add_library(corvane_odbc STATIC odbc.cpp connection.cpp)
target_include_directories(corvane_odbc PUBLIC ${ODBC_INCLUDE_DIR})
target_link_libraries(corvane_odbc PUBLIC corvane_db_core ${ODBC_LIBRARY})

corvane_test(connection_test SOURCES connection_test.cpp LIBS corvane_odbc)
