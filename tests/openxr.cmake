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

# The table, once the layer is built (openxr_layer/ comes before tests/).
find_program(QUORVELLAN_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(QUORVELLAN_UNSHARE unshare)
if(TARGET quorvellan_test_xr_runtime AND TARGET quorvellan_openxr_layer AND TARGET quorvellan-controller-sim
   AND TARGET quorvellan-monitor AND QUORVELLAN_SYSTEM_PYTHON AND QUORVELLAN_UNSHARE)
  add_test(NAME openxr_layer_test
    COMMAND ${QUORVELLAN_OWN_NETWORK}
            ${QUORVELLAN_SYSTEM_PYTHON} -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/openxr/layer_test.py)
  # Under LeakSanitizer (scripts/test-sanitizers) the system loader's own leaks are not ours.
  set_tests_properties(openxr_layer_test PROPERTIES TIMEOUT 900 ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/openxr/loader_leaks.supp;QUORVELLAN_XR_TEST_SIMULATOR=$<TARGET_FILE:quorvellan-controller-sim>;QUORVELLAN_XR_TEST_MONITOR=$<TARGET_FILE:quorvellan-monitor>;QUORVELLAN_XR_TEST_APP=$<TARGET_FILE:quorvellan-test-xr-app>;QUORVELLAN_XR_TEST_RUNTIME_JSON=${CMAKE_CURRENT_BINARY_DIR}/openxr/quorvellan_test_runtime.json;QUORVELLAN_XR_TEST_LAYER_MANIFEST=$<TARGET_FILE_DIR:quorvellan_openxr_layer>/XrApiLayer_quorvellan_treadmill.json")
elseif(TARGET quorvellan_test_xr_runtime)
  message(STATUS "openxr_layer_test left out: the layer, the simulator, the monitor, /usr/bin/python3 or unshare is missing")
endif()

# `quorvellan-xr doctor` (scripts/quorvellan-xr) against the test runtime and
# the layer installed into a home of its own, and `quorvellan-xr try`, which
# walks the simulator, the test runtime and the test application and checks
# the stick followed.
if(TARGET quorvellan_test_xr_runtime AND TARGET quorvellan-xr-probe AND TARGET quorvellan_openxr_layer
   AND TARGET quorvellan-controller-sim AND TARGET quorvellan-monitor AND QUORVELLAN_SYSTEM_PYTHON AND QUORVELLAN_UNSHARE)
  add_test(NAME openxr_doctor
    COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/openxr/doctor_test.sh ${PROJECT_BINARY_DIR})
  add_test(NAME openxr_try
    COMMAND ${QUORVELLAN_OWN_NETWORK} ${PROJECT_SOURCE_DIR}/scripts/quorvellan-xr try --build ${PROJECT_BINARY_DIR})
  set_tests_properties(openxr_doctor openxr_try PROPERTIES TIMEOUT 120 ENVIRONMENT
    "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/openxr/loader_leaks.supp")
endif()

# Windows: the doctor's registry part (quorvellan-xr-probe registry) against
# keys written into the suite's Wine prefix.
if(WIN32 AND TARGET quorvellan-xr-probe AND TARGET quorvellan_openxr_layer AND CMAKE_CROSSCOMPILING_EMULATOR)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME windows_xr_doctor_registry
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/openxr/doctor_registry_test.py
                   $<TARGET_FILE:quorvellan-xr-probe>
                   $<TARGET_FILE_DIR:quorvellan_openxr_layer>/XrApiLayer_quorvellan_treadmill.json
                   -- ${CMAKE_CROSSCOMPILING_EMULATOR})
endif()
