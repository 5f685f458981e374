# The OpenXR layer's pure parts: geometry, config file, stick actions.
if(TARGET quorvellan_openxr_logic)
  quorvellan_add_test(openxr_layer_logic_test
                      SOURCES openxr_layer/locomotion_test.cpp openxr_layer/config_test.cpp
                              openxr_layer/stick_actions_test.cpp
                      LIBS quorvellan_openxr_logic)
endif()

# Installed, found as an implicit layer, calibrated, disabled and removed,
# through Debian's loader with the test runtime and application.
if(TARGET quorvellan_openxr_layer AND TARGET quorvellan_test_xr_runtime AND TARGET quorvellan-test-xr-app)
  add_test(NAME openxr_layer_install_calibrate
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/openxr_layer/install_calibrate_test.sh ${PROJECT_SOURCE_DIR}
                   $<TARGET_FILE_DIR:quorvellan_openxr_layer> ${CMAKE_CURRENT_BINARY_DIR}/openxr/quorvellan_test_runtime.json
                   $<TARGET_FILE:quorvellan-test-xr-app>)
  set_tests_properties(openxr_layer_install_calibrate PROPERTIES TIMEOUT 120)
endif()
