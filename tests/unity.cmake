# The Unity package assembled from the built Linux library: layout, import
# settings, and its C# compiled with mcs (the sample against a stand-in of the
# few UnityEngine members it uses).
find_program(QUORVELLAN_UNITY_MCS mcs)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND QUORVELLAN_UNITY_MCS)
  set(quorvellan_unity_libraries $<TARGET_FILE:QuorvellanAPI>)
  if(TARGET QuorvellanStream)
    list(APPEND quorvellan_unity_libraries $<TARGET_FILE:QuorvellanStream>)
  endif()
  add_test(NAME unity_package
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/unity/unity_package_test.sh ${PROJECT_SOURCE_DIR}
                   ${QUORVELLAN_UNITY_MCS} ${PROJECT_VERSION} ${quorvellan_unity_libraries})
  set_tests_properties(unity_package PROPERTIES TIMEOUT 120)
endif()

# The package's plugin folder as a game holds it: the stream loads from it
# alone, first call first (mono and Python, the simulator on port 6158).
find_program(QUORVELLAN_UNITY_MONO mono)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING AND QUORVELLAN_UNITY_MCS AND QUORVELLAN_UNITY_MONO
   AND TARGET QuorvellanStream AND TARGET quorvellan-controller-sim)
  add_test(NAME unity_layout
           COMMAND ${QUORVELLAN_OWN_NETWORK} ${CMAKE_CURRENT_SOURCE_DIR}/unity/unity_layout_test.sh ${PROJECT_SOURCE_DIR}
                   ${QUORVELLAN_UNITY_MCS} ${QUORVELLAN_UNITY_MONO} $<TARGET_FILE:quorvellan-controller-sim>
                   $<TARGET_FILE:QuorvellanAPI> $<TARGET_FILE:QuorvellanStream>)
  set_tests_properties(unity_layout PROPERTIES TIMEOUT 120)
endif()
