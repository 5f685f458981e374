# The OpenXR layer's pure parts: geometry, config file, stick actions.
if(TARGET quorvellan_openxr_logic)
  quorvellan_add_test(openxr_layer_logic_test
                      SOURCES openxr_layer/locomotion_test.cpp openxr_layer/config_test.cpp
                              openxr_layer/stick_actions_test.cpp
                      LIBS quorvellan_openxr_logic)
endif()
