# The installed package: a consumer outside this tree builds against it with
# find_package and with pkg-config, and runs against the installed simulator.
# The command is the script itself, not a native program: stages that run the
# native tests under ASan or valgrind leave it alone.
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND TARGET quorvellan-controller-sim AND TARGET quorvellan-monitor)
  add_test(NAME packaging_consumers
           COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/run_consumers.sh
                   ${PROJECT_BINARY_DIR} ${CMAKE_C_COMPILER} ${CMAKE_COMMAND})
  set_tests_properties(packaging_consumers PROPERTIES TIMEOUT 300)

  # The Python wheel, with every shipped library built in this tree, in a fresh venv.
  set(quorvellan_wheel_libraries $<TARGET_FILE:QuorvellanAPI>)
  if(TARGET QuorvellanStream)
    list(APPEND quorvellan_wheel_libraries $<TARGET_FILE:QuorvellanStream>)
  endif()
  add_test(NAME packaging_wheel
           COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/wheel_test.sh ${PROJECT_SOURCE_DIR}
                   $<TARGET_FILE:quorvellan-controller-sim> ${quorvellan_wheel_libraries})
  set_tests_properties(packaging_wheel PROPERTIES TIMEOUT 300)
endif()
