# The credential store: libcvcredentials exports only the C functions of
# credentials.h, for the server and the product's other tools alike.
add_library(cvcredentials SHARED credentials.cpp)
target_link_libraries(cvcredentials PRIVATE corvane_platform)
set_target_properties(cvcredentials PROPERTIES
  C_VISIBILITY_PRESET hidden
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_link_options(cvcredentials PRIVATE -Wl,--exclude-libs,ALL)

add_library(corvane_connection_settings STATIC connection_settings.cpp)
target_link_libraries(corvane_connection_settings PUBLIC cvcredentials corvane_platform)

corvane_test(credentials_test SOURCES credentials_test.cpp LIBS cvcredentials corvane_platform)
corvane_test(connection_settings_test SOURCES connection_settings_test.cpp
  LIBS corvane_connection_settings corvane_platform)
