# The metaschema and the device processor's opening of the database.
add_library(corvane_metaschema STATIC metadata.cpp metaschema.cpp)
target_link_libraries(corvane_metaschema PUBLIC corvane_odbc corvane_platform)

add_library(corvane_device STATIC open_failure.cpp device_processor.cpp)
target_link_libraries(corvane_device PUBLIC corvane_metaschema corvane_connection_settings corvane_diag
  PRIVATE corvane_schema)

corvane_test(open_failure_test SOURCES open_failure_test.cpp LIBS corvane_device)
corvane_test(metaschema_test SOURCES metaschema_test.cpp LIBS corvane_device corvane_schema corvane_testing)
corvane_test(metadata_test SOURCES metadata_test.cpp LIBS corvane_metaschema corvane_schema corvane_testing)
corvane_test(device_processor_test SOURCES device_processor_test.cpp
  LIBS corvane_device corvane_testing notifex)
