# Values, DBMS kinds and SQL dialect rules: pure code, no driver.
add_library(corvane_db_core STATIC value.cpp dbms.cpp dialect.cpp error.cpp)

corvane_test(value_test SOURCES value_test.cpp LIBS corvane_db_core)
corvane_test(dialect_test SOURCES dialect_test.cpp LIBS corvane_db_core)
corvane_test(db_error_test SOURCES error_test.cpp LIBS corvane_db_core)
