# The OpenXR layer through Debian's real loader: a headless test runtime the
# loader loads by XR_RUNTIME_JSON, a test application that reads a locomotion
# action every frame, and the table of walking cases (tests/openxr/layer_test.py)
# with the simulator walking, in a network namespace of its own.
find_package(OpenXR CONFIG QUIET)
if(OpenXR_FOUND AND NOT WIN32)
  add_library(quorvellan_test_xr_runtime MODULE openxr/test_runtime.cpp)
  target_link_libraries(quorvellan_test_xr_runtime PRIVATE OpenXR::headers nlohmann_json::nlohmann_json)
  target_include_directories(quorvellan_test_xr_runtime PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(quorvellan_test_xr_runtime PROPERTIES CXX_VISIBILITY_PRESET hidden)
  quorvellan_warnings(quorvellan_test_xr_runtime)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/openxr/quorvellan_test_runtime.json CONTENT
"{\"file_format_version\": \"1.0.0\",
 \"runtime\": {\"name\": \"Quorvellan test runtime\", \"library_path\": \"$<TARGET_FILE:quorvellan_test_xr_runtime>\"}}
")

  add_executable(quorvellan-test-xr-app openxr/test_app.cpp)
  target_link_libraries(quorvellan-test-xr-app PRIVATE OpenXR::openxr_loader)
  quorvellan_warnings(quorvellan-test-xr-app)
endif()
