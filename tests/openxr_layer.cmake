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
           COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/openxr_layer/install_calibrate_test.sh ${PROJECT_SOURCE_DIR}
                   $<TARGET_FILE_DIR:quorvellan_openxr_layer> ${CMAKE_CURRENT_BINARY_DIR}/openxr/quorvellan_test_runtime.json
                   $<TARGET_FILE:quorvellan-test-xr-app>)
  set_tests_properties(openxr_layer_install_calibrate PROPERTIES TIMEOUT 120)
endif()

# The layer negotiated and chained by this program itself (no loader) to the
# test runtime's sources compiled in, with a scripted controller: the walking
# table on Linux and, cross-built, under Wine.
if(TARGET quorvellan_openxr_layer AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/openxr/test_runtime.cpp)
  quorvellan_add_test(openxr_layer_direct_chain_test
                      SOURCES openxr_layer/direct_chain_test.cpp openxr/test_runtime.cpp
                      LIBS quorvellan_fault_support nlohmann_json::nlohmann_json ${CMAKE_DL_LIBS})
  target_include_directories(openxr_layer_direct_chain_test PRIVATE ${QUORVELLAN_OPENXR_INCLUDE_DIR})
  target_compile_definitions(openxr_layer_direct_chain_test PRIVATE _USE_MATH_DEFINES
    QUORVELLAN_LAYER_LIBRARY="$<TARGET_FILE:quorvellan_openxr_layer>")
  add_dependencies(openxr_layer_direct_chain_test quorvellan_openxr_layer)
  if(WIN32)
    # Apart from the DLLs, as a game is: the layer must find the stream by itself.
    set_target_properties(openxr_layer_direct_chain_test PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/openxr-game)
  endif()
endif()

# Windows: the layer DLL exports its negotiation alone and imports only
# system DLLs (it loads the stream from its own folder).
if(WIN32 AND TARGET quorvellan_openxr_layer)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME windows_openxr_layer_dll_tables
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_dll_tables.py
                   ${CMAKE_OBJDUMP} $<TARGET_FILE:quorvellan_openxr_layer> --exports xrNegotiateLoaderApiLayerInterface)
endif()
