# What a processing thread's device processor needs beyond the connection.
add_library(corvane_device STATIC open_failure.cpp)
target_link_libraries(corvane_device PUBLIC corvane_diag)

corvane_test(open_failure_test SOURCES open_failure_test.cpp LIBS corvane_device)
